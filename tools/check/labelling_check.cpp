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

Point decode(int32_t code, const SiteLayout& codes) { return {codes.x(code), codes.y(code), codes.z(code)}; }

int64_t squaredDistance(const Point& a, const Point& b, const AxisWeights& w) {
    const int64_t dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return w.x * dx * dx + w.y * dy * dy + w.z * dz * dz;
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

// The nearest site to `voxel` (ties as the labelling breaks them), found among the sites no farther
// than `own`, the site it is labelled with; and whether `own` is one of the sites.
struct Nearest {
    const Point* site = nullptr;
    bool ownListed = false;
};

Nearest nearestAround(const SiteGrid& grid, const Point& voxel, const Point& own, const AxisWeights& weights) {
    const int64_t ownDistance = squaredDistance(voxel, own, weights);
    // A site as near as the voxel's own lies within sqrt(distance / weight) voxels along every axis.
    const double lightest = double(std::min({weights.x, weights.y, weights.z}));
    const int radius = static_cast<int>(std::ceil(std::sqrt(double(ownDistance) / lightest))) + 1;
    Nearest nearest;
    int64_t nearestDistance = 0;
    grid.forSitesNear(voxel, radius, [&](const Point& s) {
        const int64_t d = squaredDistance(voxel, s, weights);
        nearest.ownListed = nearest.ownListed || (s.x == own.x && s.y == own.y && s.z == own.z);
        if (nearest.site == nullptr || d < nearestDistance ||
            (d == nearestDistance && preferredOnTie(s, *nearest.site))) {
            nearest.site = &s;
            nearestDistance = d;
        }
    });
    return nearest;
}

bool samePoint(const Point& a, const Point& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Runs visit(z) for every z slice, the slices shared among the host threads; returns the lowest slice
// for which visit returned false, or `slices`.
template <class Visit>
int forEachSlice(int slices, Visit&& visit) {
    std::atomic<int> nextSlice{0};
    std::mutex stopMutex;
    int stoppedAt = slices;
    const auto work = [&] {
        for (int z = nextSlice++; z < slices; z = nextSlice++)
            if (!visit(z)) {
                std::lock_guard lock(stopMutex);
                stoppedAt = std::min(stoppedAt, z);
            }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < std::max(1u, std::thread::hardware_concurrency()); ++t) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    return stoppedAt;
}

std::string describe(const Point& p) {
    char text[48];
    std::snprintf(text, sizeof text, "(%d, %d, %d)", p.x, p.y, p.z);
    return text;
}

}  // namespace

LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, GridBox box,
                                 const std::vector<std::array<int, 3>>& siteList, const AxisWeights& weights,
                                 const SiteLayout& codes) {
    LabellingVerdict verdict;
    std::vector<Point> sites;
    for (const std::array<int, 3>& s : siteList) sites.push_back({s[0], s[1], s[2]});
    verdict.siteCount = sites.size();
    for (int32_t code : labels) {
        if (code == outsideLabel) continue;
        const Point s = decode(code, codes);
        if (code < 0 || s.x >= box.x || s.y >= box.y || s.z >= box.z) {
            verdict.exact = false;
            verdict.problem = "label " + std::to_string(code) + " names no voxel of the grid";
            return verdict;
        }
    }
    const SiteGrid grid(sites, std::max({box.x, box.y, box.z}));
    // Each host thread takes whole z slices; the problem of the lowest slice found wrong is reported.
    std::vector<std::string> problems(size_t(box.z));
    const int wrongSlice = forEachSlice(box.z, [&](int z) {
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const Point voxel{x, y, z};
                const int32_t code = labels[(size_t(z) * box.y + y) * box.x + x];
                if (code == outsideLabel) continue;
                const Point own = decode(code, codes);
                const Nearest nearest = nearestAround(grid, voxel, own, weights);
                if (nearest.ownListed && samePoint(*nearest.site, own)) continue;
                if (!nearest.ownListed)
                    problems[size_t(z)] = "voxel " + describe(voxel) + " is labelled " + describe(own) +
                                          ", which is not one of the sites";
                else
                    problems[size_t(z)] =
                        "voxel " + describe(voxel) + " is labelled " + describe(own) + " but site " +
                        describe(*nearest.site) + " is " +
                        (squaredDistance(voxel, *nearest.site, weights) < squaredDistance(voxel, own, weights)
                             ? "nearer"
                             : "as near and preferred");
                return false;
            }
        return true;
    });
    verdict.exact = wrongSlice == box.z;
    if (!verdict.exact) verdict.problem = problems[size_t(wrongSlice)];
    return verdict;
}

std::vector<int32_t> nearestLabelling(const std::vector<int32_t>& labels, GridBox box,
                                      const std::vector<std::array<int, 3>>& siteList, const AxisWeights& weights,
                                      const SiteLayout& codes) {
    std::vector<Point> sites;
    for (const std::array<int, 3>& s : siteList) sites.push_back({s[0], s[1], s[2]});
    const SiteGrid grid(sites, std::max({box.x, box.y, box.z}));
    std::vector<int32_t> nearest(labels.size(), outsideLabel);
    forEachSlice(box.z, [&](int z) {
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const size_t i = (size_t(z) * box.y + y) * box.x + x;
                if (labels[i] == outsideLabel) continue;
                const Point* site = nearestAround(grid, {x, y, z}, decode(labels[i], codes), weights).site;
                nearest[i] = codes.encode(site->x, site->y, site->z);
            }
        return true;
    });
    return nearest;
}

LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, int edge) {
    std::vector<int32_t> codes(labels);
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    std::vector<std::array<int, 3>> sites;
    for (int32_t code : codes) {
        const Point s = decode(code, SiteLayout{});
        if (code >= 0) sites.push_back({s.x, s.y, s.z});
    }
    return verifyLabelling(labels, cubeBox(edge), sites);
}

double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, GridBox box, int scaleEdge,
                 const AxisScales& scales, const SiteLayout& codes) {
    double energy = 0.0;
    size_t index = 0;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x, ++index) {
                const Point s = decode(labels[index], codes);
                const double dx = 2.0 * scales.x * (x - s.x) / scaleEdge, dy = 2.0 * scales.y * (y - s.y) / scaleEdge,
                             dz = 2.0 * scales.z * (z - s.z) / scaleEdge;
                energy += density[index] * (dx * dx + dy * dy + dz * dz);
            }
    return energy;
}

double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, int edge) {
    return cvtEnergy(labels, density, cubeBox(edge), edge);
}

}  // namespace cvt::check
