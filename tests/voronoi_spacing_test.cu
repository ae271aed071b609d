// The labelling under voxel spacing against the weighted brute-force reference: random, collinear,
// planar, tie-forcing and clustered site sets, under decimal spacings, extreme ratios and ratios that
// no small integers give.
#include <random>
#include <string>
#include <vector>

#include "device_test_support.h"
#include "host/axis_spacing.h"
#include "host/buffers.h"
#include "host/site_code.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

class SpacingLabellingTest : public DeviceTest {
protected:
    void TearDown() override { releaseBuffers(); }

    static void expectExact(const std::vector<Site>& sites, int n, const Spacing& spacing, const std::string& what) {
        const AxisWeights w = labellingWeights(spacing);
        gridSize = n;
        uploadVolume(voronoiBuffers[voronoiIndex], siteVolume(sites, n));
        computeVoronoi(w);
        const std::vector<int> labels = downloadVolume(currentSites, size_t(n) * n * n);
        const std::vector<int> expected = bruteForceLabelling(sites, n, {w.x, w.y, w.z});
        size_t differences = 0;
        for (size_t v = 0; v < labels.size(); ++v) differences += labels[v] != expected[v];
        EXPECT_EQ(differences, 0u) << what << " under spacing " << describeSpacing(spacing) << " (" << sites.size()
                                   << " sites, edge " << n << ")";
    }
};

const Spacing spacings[] = {{0.7, 0.7, 2.5}, {0.8, 0.8, 2.0}, {1, 1, 20},  {20, 1, 1},   {1, 20, 1},
                            {1, 1, 2.5},     {1, 3.3, 1.7},   {1.7f, 1, 1}, {1024, 1, 1}, {1, 1, 1.0000001}};

// Coordinates along each axis are multiples of that axis's step, so that voxels lie at exactly equal
// physical distances from several sites when the steps are inverse to the spacing.
std::vector<Site> latticeBoundSites(std::mt19937& random, int n, int count, int sx, int sy, int sz) {
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s)
        sites.push_back({std::uniform_int_distribution<int>(0, (n - 1) / sx)(random) * sx,
                         std::uniform_int_distribution<int>(0, (n - 1) / sy)(random) * sy,
                         std::uniform_int_distribution<int>(0, (n - 1) / sz)(random) * sz});
    return sites;
}

std::vector<Site> lineOfSites(int axis, int n, int step) {
    std::vector<Site> line;
    for (int t = 0; t < n; t += step) line.push_back(axis == 0 ? Site{t, 9, 20} : axis == 1 ? Site{9, t, 20} : Site{9, 20, t});
    return line;
}

TEST_F(SpacingLabellingTest, AdversarialSiteSetsMatchBruteForce) {
    allocateBuffers(64);
    const int n = 32;
    std::mt19937 random(21);
    for (const Spacing& spacing : spacings) {
        for (int axis = 0; axis < 3; ++axis) {
            expectExact(lineOfSites(axis, n, 3), n, spacing, "collinear sites along axis " + std::to_string(axis));
            std::vector<Site> plane = latticeBoundSites(random, n, 30, 1, 1, 1);
            for (Site& s : plane) (axis == 0 ? s.x : axis == 1 ? s.y : s.z) = 11;
            expectExact(distinct(plane), n, spacing, "sites on a plane across axis " + std::to_string(axis));
        }
        // Steps 5 : 5 : 2 put sites 2.5 times closer along z: equal physical offsets under 1 : 1 : 2.5.
        expectExact(distinct(latticeBoundSites(random, n, 40, 5, 5, 2)), n, spacing, "sites stepped 5 5 2");
        expectExact(distinct(latticeBoundSites(random, n, 40, 25, 7, 7)), n, spacing, "sites stepped 25 7 7");
        expectExact({{3, 4, 5}, {3, 4, 6}, {30, 4, 5}}, n, spacing, "a close pair along z, one far along x");
    }
}

TEST_F(SpacingLabellingTest, HundredsOfRandomSiteSetsMatchBruteForce) {
    allocateBuffers(64);
    std::mt19937 random(22);
    for (int round = 0; round < 200; ++round) {
        const Spacing& spacing = spacings[round % std::size(spacings)];
        const int count = std::uniform_int_distribution<int>(1, 40)(random);
        const int step = std::uniform_int_distribution<int>(1, 4)(random);
        expectExact(distinct(latticeBoundSites(random, 32, count, step, step, round % 3 == 0 ? 1 : step)), 32, spacing,
                    "random set " + std::to_string(round));
        if (HasFailure()) return;
    }
}

// The anisotropic labelling of the same sites differs from the isotropic one, and with cubic voxels of
// any size it is the isotropic one.
TEST_F(SpacingLabellingTest, OnlyTheRatiosOfTheSpacingMatter) {
    EXPECT_EQ(labellingWeights({0.3, 0.3, 0.3}).x, 1);
    EXPECT_EQ(labellingWeights({0.3, 0.3, 0.3}).z, 1);
    allocateBuffers(64);
    std::mt19937 random(23);
    const std::vector<Site> sites = distinct(latticeBoundSites(random, 32, 30, 1, 1, 1));
    const auto labelled = [&](const Spacing& spacing) {
        gridSize = 32;
        uploadVolume(voronoiBuffers[voronoiIndex], siteVolume(sites, 32));
        computeVoronoi(labellingWeights(spacing));
        return downloadVolume(currentSites, size_t(32) * 32 * 32);
    };
    const std::vector<int> isotropic = labelled({1, 1, 1});
    EXPECT_EQ(labelled({2.5, 2.5, 2.5}), isotropic);
    EXPECT_NE(labelled({1, 1, 2.5}), isotropic);
    EXPECT_EQ(labelled({1, 1, 2.5}), labelled({0.4, 0.4, 1.0}));
}

}  // namespace
CVT_END_NAMESPACE
