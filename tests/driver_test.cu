// The CVT driver end to end on reduced grids: levels, transitions, the global iteration counter, the
// decision schedule, and an exact labelling at the end of every run.
#include <algorithm>
#include <cmath>
#include <vector>

#include "device_test_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "host/density.h"
#include "host/site_code.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

class CvtDriverTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }

    // Runs the driver on a set of full edge n with a smooth positive density.
    std::vector<int> run(int n, int sites, int maxLevels, int maxIterations) {
        allocateBuffers(n);
        std::vector<float> density(size_t(n) * n * n);
        for (int z = 0; z < n; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) {
                    const double u = double(x) / n - 0.5, v = double(y) / n - 0.5, w = double(z) / n - 0.5;
                    density[(size_t(z) * n + y) * n + x] = float(0.05 + std::exp(-12.0 * (u * u + v * v + w * w)));
                }
        std::vector<int> result(density.size());
        runCvt(density.data(), sites, result.data(), maxLevels, maxIterations);
        return result;
    }
};

// The sites of a labelling of the first planes of a grid of side n.
std::vector<Site> sitesOf(const std::vector<int>& labelling, int n) {
    std::vector<Site> sites;
    for (int z = 0; z < int(labelling.size() / (size_t(n) * n)); ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                if (labelling[(size_t(z) * n + y) * n + x] == encodeSite(x, y, z)) sites.push_back({x, y, z});
    return sites;
}

TEST_F(CvtDriverTest, OneLevelRunsUntilTheEnergyStopsFallingAndEndsExact) {
    const int n = 64;
    const std::vector<int> result = run(n, 40, 1, 10000);
    const CvtRunReport& report = lastCvtRun();
    EXPECT_EQ(report.levelCount, 1);
    ASSERT_EQ(report.levelEndIterations.size(), 1u);
    EXPECT_EQ(iteration % 10, 0) << "the full grid ends only at a decision";
    EXPECT_LT(iteration, 10000);
    ASSERT_EQ(report.decisions.size(), size_t(iteration / 10));
    for (size_t d = 0; d < report.decisions.size(); ++d) EXPECT_EQ(report.decisions[d].iteration, int(10 * (d + 1)));
    EXPECT_EQ(report.decisions.front().relaxation, 2.0f);  // the first decision compares with 1e18
    EXPECT_EQ(report.stop, CvtStop::energyCriterion);
    EXPECT_EQ(gridSize, n);
    // Lloyd steps lower the energy until the end (the last decision saw no drop worth going on for).
    EXPECT_LT(report.decisions.back().energy, report.decisions.front().energy);
    const std::vector<Site> sites = sitesOf(result, n);
    EXPECT_GE(sites.size(), 30u);
    EXPECT_LE(sites.size(), 40u);  // sites only ever merge
    EXPECT_EQ(result, bruteForceLabelling(sites, n));
}

TEST_F(CvtDriverTest, FewerThanTenIterationsEvaluateNoEnergy) {
    const int n = 64;
    const std::vector<int> result = run(n, 25, 1, 7);
    EXPECT_EQ(iteration, 7);
    EXPECT_TRUE(lastCvtRun().decisions.empty());
    EXPECT_EQ(lastCvtRun().stop, CvtStop::iterationBudget);
    EXPECT_EQ(relaxation, 2.0f);
    EXPECT_EQ(result, bruteForceLabelling(sitesOf(result, n), n));
}

TEST_F(CvtDriverTest, TwoLevelsStartCoarseAndCarryTheSitesToTheFullGrid) {
    const int n = 128;
    const std::vector<int> result = run(n, 60, 2, 10000);
    const CvtRunReport& report = lastCvtRun();
    EXPECT_EQ(report.levelCount, 2);
    ASSERT_EQ(report.levelEndIterations.size(), 2u);
    // Both levels end at decisions, and the counter runs on across the transition.
    EXPECT_EQ(report.levelEndIterations[0] % 10, 0);
    EXPECT_GT(report.levelEndIterations[1], report.levelEndIterations[0]);
    EXPECT_EQ(report.levelEndIterations[1] % 10, 0);
    EXPECT_EQ(gridSize, n);
    const std::vector<Site> sites = sitesOf(result, n);
    EXPECT_GE(sites.size(), 40u);
    EXPECT_LE(sites.size(), 60u);
    EXPECT_EQ(result, bruteForceLabelling(sites, n));
}

// Once the cap is used up, every further level runs exactly one iteration.
TEST_F(CvtDriverTest, ThreeLevelsWithTheCapUsedUpRunOneIterationEach) {
    const int n = 256;
    allocateBuffers(n);
    std::vector<float> density(size_t(n) * n * n);
    synthesizeDensity(density.data());
    std::vector<int> result(density.size());
    runCvt(density.data(), 200, result.data(), 5, 1);
    const CvtRunReport& report = lastCvtRun();
    EXPECT_EQ(report.levelCount, 3);
    EXPECT_EQ(report.levelEndIterations, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(report.decisions.empty());
    EXPECT_EQ(gridSize, n);
    // Sites moved on the 64-grid land on even coordinates of the finer grids, and one iteration on
    // each finer grid moves them on; whatever they are, the final labelling is exact for them.
    const std::vector<Site> sites = sitesOf(result, n);
    EXPECT_GE(sites.size(), 150u);
    EXPECT_LE(sites.size(), 200u);
    for (int z = 0; z < n; z += 37)
        for (int y = 0; y < n; y += 5)
            for (int x = 0; x < n; ++x) {
                const int label = result[(size_t(z) * n + y) * n + x];
                int64_t best = INT64_MAX;
                for (const Site& s : sites) {
                    const int64_t dx = x - s.x, dy = y - s.y, dz = z - s.z;
                    best = std::min(best, dx * dx + dy * dy + dz * dz);
                }
                const int64_t dx = x - siteX(label), dy = y - siteY(label), dz = z - siteZ(label);
                ASSERT_EQ(dx * dx + dy * dy + dz * dz, best) << x << " " << y << " " << z;
            }
}

// A 64-grid in which `inside` says which voxels carry density (1 there, 0 elsewhere).
template <class Inside>
std::vector<float> densityWhere(int n, Inside inside) {
    std::vector<float> density(size_t(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) density[(size_t(z) * n + y) * n + x] = inside(x, y, z) ? 1.0f : 0.0f;
    return density;
}

TEST_F(CvtDriverTest, RequestsPlaceTheirSitesAndKeepThemInTheBox) {
    const int n = 64;
    struct Case {
        const char* what;
        GridBox box;
        SitePlacement::Kind kind;
        int maxLevels, maxIterations;
    };
    for (const Case& c : {Case{"a box, uniform", {50, 40, 20}, SitePlacement::Kind::uniform, 1, 60},
                          Case{"a thin box, density", {64, 5, 33}, SitePlacement::Kind::density, 1, 40},
                          Case{"labelling only", {20, 64, 64}, SitePlacement::Kind::uniform, 1, 0}}) {
        SCOPED_TRACE(c.what);
        allocateBuffers(n);
        const GridBox box = c.box;
        // The density of the box alone.
        const std::vector<float> density(size_t(box.x) * box.y * box.z, 1.0f);
        std::vector<int> result(size_t(n) * n * box.z);  // the box's planes
        CvtRequest request;
        request.density = density.data();
        request.result = result.data();
        request.siteCount = 30;
        request.maxLevels = c.maxLevels;
        request.maxIterations = c.maxIterations;
        request.box = box;
        request.placement.kind = c.kind;
        request.placement.seed = 5;
        runCvt(request);
        const CvtRunReport& report = lastCvtRun();
        EXPECT_EQ(report.sitesPlaced, 30);
        EXPECT_EQ(iteration, c.maxIterations == 0 ? 0 : iteration);
        if (c.maxIterations == 0) EXPECT_EQ(report.stop, CvtStop::noIterations);
        const std::vector<Site> sites = sitesOf(result, n);
        EXPECT_LE(sites.size(), 30u);
        EXPECT_GE(sites.size(), 20u);
        for (const Site& s : sites) EXPECT_TRUE(s.x < box.x && s.y < box.y && s.z < box.z) << s.x << " " << s.y << " " << s.z;
        std::vector<int> expected = bruteForceLabelling(sites, n);
        expected.resize(result.size());
        EXPECT_EQ(result, expected);
        releaseBuffers();
    }
}

// A C-shaped mask (a thick ring with a gap): sites start inside, every move that would leave it lands
// inside, on one level and across levels, and the final labelling is exact among all sites.
TEST_F(CvtDriverTest, AMaskKeepsEverySiteInsideAndTheLabellingExact) {
    const int n = 64;
    const auto inside = [](int x, int y, int z) {
        const int dx = x - 32, dy = y - 32, r2 = dx * dx + dy * dy;
        return r2 >= 12 * 12 && r2 <= 26 * 26 && !(dx > 0 && std::abs(dy) < 5) && z >= 8 && z < 56;
    };
    std::vector<uint8_t> flags(size_t(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) flags[(size_t(z) * n + y) * n + x] = inside(x, y, z);
    const std::vector<float> density = densityWhere(n, inside);
    const auto maskedRequest = [&](std::vector<int>& result) {
        CvtRequest request;
        request.density = density.data();
        request.result = result.data();
        request.maxIterations = 60;
        request.inside = flags.data();
        return request;
    };
    struct Case {
        const char* what;
        SitePlacement::Kind kind;
        int sites, maxLevels;
    };
    for (const Case& c : {Case{"few sites, uniform", SitePlacement::Kind::uniform, 6, 1},
                          Case{"density, two levels", SitePlacement::Kind::density, 40, 2},
                          Case{"given", SitePlacement::Kind::given, 0, 1}}) {
        SCOPED_TRACE(c.what);
        allocateBuffers(n, MomentSums::exact, true);
        std::vector<int> result(density.size());
        CvtRequest request = maskedRequest(result);
        request.siteCount = c.sites;
        request.maxLevels = c.maxLevels;
        request.placement.kind = c.kind;
        request.placement.seed = 3;
        request.placement.sites = {{20, 20, 30}, {44, 44, 30}, {20, 44, 20}, {32, 8, 40}};
        runCvt(request);
        const std::vector<Site> sites = sitesOf(result, n);
        EXPECT_GE(sites.size(), 3u);
        for (const Site& s : sites) EXPECT_TRUE(inside(s.x, s.y, s.z)) << s.x << " " << s.y << " " << s.z;
        EXPECT_EQ(result, bruteForceLabelling(sites, n));
        // Arcs of a ring have their centroids towards the hole: with few sites some moves must be sent back.
        if (c.sites == 6) EXPECT_GT(lastCvtRun().insideMoves, 0u);
        releaseBuffers();
    }
    allocateBuffers(n);
    std::vector<int> result(density.size());
    CvtRequest request = maskedRequest(result);
    request.siteCount = 5;
    EXPECT_THROW(runCvt(request), Failure) << "a set without inside maps";
}

TEST_F(CvtDriverTest, UniformDensityKeepsSitesStartedAtTheOctantCentresThere) {
    // The octant centres of a 64-grid are 15.5 and 47.5 on each axis. Sites started on a voxel next to
    // them stay on one: the relaxation factor 2 of the first decisions reflects a site through its
    // centroid, from 15 to 16 and back. (From farther away the reflection swings as far to the other
    // side, and in a configuration this symmetric the energies of two decisions can come out equal,
    // which ends the run with the sites still swinging.)
    const int n = 64;
    allocateBuffers(n);
    const std::vector<float> density(size_t(n) * n * n, 1.0f);
    std::vector<int> result(density.size());
    CvtRequest request;
    request.density = density.data();
    request.result = result.data();
    request.maxIterations = 200;
    request.placement.kind = SitePlacement::Kind::given;
    for (int octant = 0; octant < 8; ++octant)
        request.placement.sites.push_back({octant & 1 ? 47 : 16, octant & 2 ? 48 : 15, octant & 4 ? 47 : 16});
    runCvt(request);
    EXPECT_EQ(lastCvtRun().stop, CvtStop::energyCriterion);
    const std::vector<Site> sites = sitesOf(result, n);
    ASSERT_EQ(sites.size(), 8u);
    for (const Site& s : sites)
        for (int c : {s.x, s.y, s.z}) EXPECT_TRUE(c == 15 || c == 16 || c == 47 || c == 48) << s.x << " " << s.y << " " << s.z;
}

TEST_F(CvtDriverTest, DensityPlacementLeavesTheEmptyHalfWithoutSites) {
    const int n = 64;
    allocateBuffers(n);
    const std::vector<float> density = densityWhere(n, [](int x, int, int) { return x < 32; });
    std::vector<int> result(density.size());
    CvtRequest request;
    request.density = density.data();
    request.result = result.data();
    request.siteCount = 40;
    request.maxLevels = 2;
    request.maxIterations = 300;
    request.placement.kind = SitePlacement::Kind::density;
    for (int budget : {0, 300}) {
        request.maxIterations = budget;
        runCvt(request);
        const std::vector<Site> sites = sitesOf(result, n);
        EXPECT_GE(sites.size(), 30u);
        for (const Site& s : sites) EXPECT_LT(s.x, 32) << "budget " << budget;
    }
}

TEST_F(CvtDriverTest, RefusesZeroLevels) {
    allocateBuffers(64);
    std::vector<float> density(64 * 64 * 64, 1.0f);
    std::vector<int> result(density.size());
    EXPECT_THROW(runCvt(density.data(), 10, result.data(), 0, 10), Failure);
    EXPECT_EQ(gridSize, 64);
}

}  // namespace
CVT_END_NAMESPACE
