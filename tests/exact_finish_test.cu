// Runs with exact sums end at a fixed point: one more plain Lloyd step, computed here by brute force
// (nearest sites by search, region sums in integers, each site to its rounded centroid and, with a
// mask, to the inside voxel nearest to that), moves no site. On boxes, under anisotropic spacing, in a
// mask, over two levels, and with one to three sites. The rule that ends the plain steps, on scripted
// energies.
#include <algorithm>
#include <cmath>
#include <vector>

#include "blob_scene.h"
#include "device_test_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

class ExactFinishTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }
};

int64_t floorDivision(Int128 numerator, Int128 denominator) {
    Int128 quotient = numerator / denominator;
    if ((numerator % denominator != 0) && ((numerator < 0) != (denominator < 0))) --quotient;
    return int64_t(quotient);
}

// Where one plain step takes every site of an exact labelling `labels` of grid g (the box's voxels
// weighing their density over `divisor` on the scale of 2^32, rounded half up).
std::vector<Site> plainStep(const std::vector<Site>& sites, const std::vector<int>& labels, const GridShape& g,
                            GridBox box, const std::vector<float>& density, float divisor,
                            const std::vector<Site>& insideVoxels, const AxisWeights& weights) {
    std::vector<std::array<Int128, 4>> sums(sites.size(), {0, 0, 0, 0});
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const int label = labels[size_t(g.index(x, y, z))];
                const size_t s = size_t(std::find_if(sites.begin(), sites.end(), [&](const Site& site) {
                                            return g.codes.encode(site.x, site.y, site.z) == label;
                                        }) - sites.begin());
                const float rho = density[size_t(box.x) * (y + size_t(box.y) * z) + size_t(x)] / divisor;
                const Int128 w = Int128(std::floor(double(rho) * 4294967296.0 + 0.5));
                sums[s][0] += w;
                sums[s][1] += w * (x - sites[s].x);
                sums[s][2] += w * (y - sites[s].y);
                sums[s][3] += w * (z - sites[s].z);
            }
    std::vector<Site> moved;
    for (size_t s = 0; s < sites.size(); ++s) {
        const Int128 m = sums[s][0];
        if (m == 0) {
            moved.push_back(sites[s]);
            continue;
        }
        // p + the offset rounded half up: floor((2 S + M) / 2M), clamped into the box.
        const auto along = [&](int p, Int128 sum, int side) {
            return int(std::clamp<int64_t>(p + floorDivision(2 * sum + m, 2 * m), 0, side - 1));
        };
        Site q{along(sites[s].x, sums[s][1], box.x), along(sites[s].y, sums[s][2], box.y),
               along(sites[s].z, sums[s][3], box.z)};
        if (!insideVoxels.empty()) {
            int64_t best = INT64_MAX;
            Site inside = q;
            for (const Site& v : insideVoxels) {
                const int64_t dx = v.x - q.x, dy = v.y - q.y, dz = v.z - q.z;
                const int64_t d = weights.x * dx * dx + weights.y * dy * dy + weights.z * dz * dz;
                if (d < best || (d == best && preferredOnTie(v, inside))) {
                    best = d;
                    inside = v;
                }
            }
            q = inside;
        }
        moved.push_back(q);
    }
    return moved;
}

TEST_F(ExactFinishTest, ConvergedRunsAreFixedPointsOfAPlainStep) {
    const std::vector<BlobScene> scenes = {
        {"a blob in a box", fullGrid(64, 64, 24), {48, 40, 21}, 50, 1, {1, 1, 1}, false, {}},
        {"decimal spacing", fullGrid(64, 64, 24), {48, 40, 21}, 50, 1, {0.7, 0.7, 2.5}, false, {}},
        {"a ring-shaped mask", fullGrid(64, 64, 64), {64, 64, 64}, 24, 1, {1, 1, 1}, true, {}},
        {"two levels", fullGrid(128, 64, 32), {128, 64, 32}, 40, 2, {1, 1, 1}, false, {}},
        {"one site", fullGrid(64, 32, 16), {60, 30, 16}, 0, 1, {1, 1, 1}, false, {{0, 0, 0}}},
        {"two sites", fullGrid(64, 32, 16), {60, 30, 16}, 0, 1, {1, 1, 1}, false, {{0, 0, 0}, {59, 29, 15}}},
        {"three sites", fullGrid(64, 32, 16), {60, 30, 16}, 0, 1, {1, 2, 1}, false, {{0, 0, 0}, {59, 0, 15}, {30, 29, 8}}},
    };
    for (const BlobScene& c : scenes) {
        SCOPED_TRACE(c.what);
        const GridShape g = c.grid;
        const GridBox box = c.box;
        const BlobVolumes volumes = blobVolumes(box, c.masked);
        const std::vector<float>& density = volumes.density;
        std::vector<Site> insideVoxels;
        for (size_t i = 0; i < volumes.inside.size(); ++i)
            if (volumes.inside[i])
                insideVoxels.push_back({int(i % box.x), int(i / box.x % box.y), int(i / box.x / box.y)});
        allocateBuffers(g, MomentSums::exact, c.masked);
        std::vector<int> result(size_t(g.x) * g.y * box.z);  // the box's planes
        CvtRequest request = blobRequest(c, volumes, result.data(), 11);
        request.maxIterations = 3000;
        runCvt(request);
        const CvtRunReport& report = lastCvtRun();
        ASSERT_EQ(report.stop, CvtStop::converged) << "after " << iteration << " iterations";
        EXPECT_GT(report.plainSteps, 0);
        std::vector<Site> sites;
        for (int z = 0; z < box.z; ++z)
            for (int y = 0; y < g.y; ++y)
                for (int x = 0; x < g.x; ++x)
                    if (result[size_t(g.index(x, y, z))] == g.codes.encode(x, y, z)) sites.push_back({x, y, z});
        ASSERT_EQ(sites.size(), c.given.empty() ? size_t(c.sites) : c.given.size()) << "no sites merged here";
        const AxisWeights weights = labellingWeights(c.spacing, g.longestSide());
        std::vector<int> expected = bruteForceLabelling(sites, g, {weights.x, weights.y, weights.z});
        expected.resize(result.size());
        ASSERT_EQ(result, expected);
        const std::vector<Site> moved =
            plainStep(sites, result, g, box, density, request.densityDivisor, insideVoxels, weights);
        for (size_t s = 0; s < sites.size(); ++s)
            EXPECT_TRUE(moved[s].x == sites[s].x && moved[s].y == sites[s].y && moved[s].z == sites[s].z)
                << "site (" << sites[s].x << ", " << sites[s].y << ", " << sites[s].z << ") moves to (" << moved[s].x
                << ", " << moved[s].y << ", " << moved[s].z << ")";
        releaseBuffers();
    }
}

// Plain steps on scripted energies and moves: which way the finish ends, and with which sites.
class ScriptedSteps : public FinishingSteps {
public:
    ScriptedSteps(std::vector<uint64_t> energies, std::vector<int64_t> moves)
        : energies_(std::move(energies)), moves_(std::move(moves)) {}
    void label() override { ++labelled_; }
    float energy() override { return float(energies_[size_t(labelled_ - 1)]); }
    UInt128 exactEnergy() override { return energies_[size_t(labelled_ - 1)]; }
    int64_t moveSites() override {
        EXPECT_EQ(relaxation, 1.0f);
        sites_ = SiteList::initial({labelled_});  // the sites after step k are {k}
        return moves_[size_t(labelled_ - 1)];
    }
    void advanceLevel() override {}
    const SiteList& sites() const override { return sites_; }
    void setSites(SiteList sites) override { sites_ = std::move(sites); }

private:
    std::vector<uint64_t> energies_;
    std::vector<int64_t> moves_;
    int labelled_ = 0;
    SiteList sites_ = SiteList::initial({0});
};

TEST(FinishRule, EndsAtAFixedPointOrBackAtTheLowestEnergyOrAtTheBudget) {
    struct Case {
        const char* what;
        std::vector<uint64_t> energies;
        std::vector<int64_t> moves;
        int budget;
        CvtStop stop;
        int steps;
        std::vector<int64_t> sites;
    };
    const Case cases[] = {
        {"a fixed point", {9, 7, 7, 6}, {5, 2, 1, 0}, 1000, CvtStop::converged, 4, {4}},
        {"a fixed point at a tie", {9, 8, 8, 8}, {1, 1, 1, 0}, 1000, CvtStop::converged, 4, {4}},
        {"a cycle", {9, 8, 8, 8, 8, 8}, {1, 1, 1, 1, 1, 1}, 1000, CvtStop::stalled, 5, {1}},
        {"a rise, then lower", {9, 10, 11, 8, 8, 8, 8}, {1, 1, 1, 1, 1, 1, 1}, 1000, CvtStop::stalled, 7, {3}},
        {"the budget", {9, 8, 7, 6, 5}, {1, 1, 1, 1, 1}, 103, CvtStop::iterationBudget, 3, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedSteps steps(c.energies, c.moves);
        CvtRunReport report;
        iteration = 100;
        EXPECT_EQ(finishWithPlainSteps(steps, c.budget, nullptr, report), c.stop);
        EXPECT_EQ(report.plainSteps, c.steps);
        EXPECT_EQ(iteration, 100 + c.steps);
        ASSERT_EQ(report.decisions.size(), size_t(c.steps));
        EXPECT_EQ(report.decisions.back().sitesMoved, c.moves[size_t(c.steps - 1)]);
        EXPECT_EQ(steps.sites().codes, c.sites);
    }
}

}  // namespace
CVT_END_NAMESPACE
