#include "labelling_check.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

namespace cvt::check {
namespace {

struct Point {
    int x, y, z;
};

Point decode(int32_t code) { return {(code >> 20) & 1023, (code >> 10) & 1023, code & 1023}; }

int64_t squaredDistance(const Point& a, const Point& b) {
    const int64_t dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return dx * dx + dy * dy + dz * dz;
}

bool preferredOnTie(const Point& a, const Point& b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z > b.z;
}

// Sites bucketed in cubic cells, so that the sites near a voxel are found without a full scan.
class SiteGrid {
public:
    SiteGrid(const std::vector<Point>& sites, int edge) : cells_((edge + cellEdge - 1) / cellEdge) {
        buckets_.resize(size_t(cells_) * cells_ * cells_);
        for (const Point& s : sites) buckets_[cellIndex(s.x / cellEdge, s.y / cellEdge, s.z / cellEdge)].push_back(s);
    }

    // Calls visit(site) for every site within `radius` of p on each axis (a superset of the ball).
    template <class Visit>
    void forSitesNear(const Point& p, int radius, Visit&& visit) const {
        const auto range = [&](int c) {
            return std::pair{std::max(0, (c - radius) / cellEdge), std::min(cells_ - 1, (c + radius) / cellEdge)};
        };
        const auto [x0, x1] = range(p.x);
        const auto [y0, y1] = range(p.y);
        const auto [z0, z1] = range(p.z);
        for (int cz = z0; cz <= z1; ++cz)
            for (int cy = y0; cy <= y1; ++cy)
                for (int cx = x0; cx <= x1; ++cx)
                    for (const Point& s : buckets_[cellIndex(cx, cy, cz)]) visit(s);
    }

private:
    static constexpr int cellEdge = 8;
    size_t cellIndex(int cx, int cy, int cz) const { return (size_t(cz) * cells_ + cy) * cells_ + cx; }
    int cells_;
    std::vector<std::vector<Point>> buckets_;
};

std::string describe(const Point& p) {
    char text[48];
    std::snprintf(text, sizeof text, "(%d, %d, %d)", p.x, p.y, p.z);
    return text;
}

}  // namespace

LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, int edge) {
    LabellingVerdict verdict;
    std::vector<int32_t> codes(labels);
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    std::vector<Point> sites;
    for (int32_t code : codes) {
        const Point s = decode(code);
        if (code < 0 || s.x >= edge || s.y >= edge || s.z >= edge) {
            verdict.exact = false;
            verdict.problem = "label " + std::to_string(code) + " names no voxel of the grid";
            return verdict;
        }
        sites.push_back(s);
    }
    verdict.siteCount = sites.size();
    const SiteGrid grid(sites, edge);

    // Each host thread takes whole z slices; the first problem found (lowest slice) is reported.
    std::atomic<int> nextSlice{0};
    std::mutex problemMutex;
    int problemSlice = edge;
    const auto work = [&] {
        for (int z = nextSlice++; z < edge; z = nextSlice++) {
            for (int y = 0; y < edge; ++y)
                for (int x = 0; x < edge; ++x) {
                    const Point voxel{x, y, z};
                    const Point own = decode(labels[(size_t(z) * edge + y) * edge + x]);
                    const int64_t ownDistance = squaredDistance(voxel, own);
                    const int radius = static_cast<int>(std::ceil(std::sqrt(double(ownDistance))));
                    const Point* better = nullptr;
                    grid.forSitesNear(voxel, radius, [&](const Point& s) {
                        const int64_t d = squaredDistance(voxel, s);
                        if (d < ownDistance || (d == ownDistance && preferredOnTie(s, own))) better = &s;
                    });
                    if (better == nullptr) continue;
                    std::lock_guard lock(problemMutex);
                    if (z < problemSlice) {
                        problemSlice = z;
                        verdict.problem = "voxel " + describe(voxel) + " is labelled " + describe(own) +
                                          " but site " + describe(*better) + " is " +
                                          (squaredDistance(voxel, *better) < ownDistance ? "nearer" : "as near and preferred");
                    }
                    return;
                }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < std::max(1u, std::thread::hardware_concurrency()); ++t) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    verdict.exact = problemSlice == edge;
    return verdict;
}

double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, int edge) {
    double energy = 0.0;
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                const size_t index = (size_t(z) * edge + y) * edge + x;
                const Point s = decode(labels[index]);
                const double dx = 2.0 * (x - s.x) / edge, dy = 2.0 * (y - s.y) / edge, dz = 2.0 * (z - s.z) / edge;
                energy += density[index] * (dx * dx + dy * dy + dz * dz);
            }
    return energy;
}

}  // namespace cvt::check
