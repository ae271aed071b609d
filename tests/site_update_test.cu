// The site update: rounding, clamping, merging and the cases without a centroid, against a
// long-double evaluation of p + omega * (g - p).
#include <algorithm>
#include <cmath>
#include <random>
#include <type_traits>
#include <vector>

#include "centroid/centroid.h"
#include "host/launch_shapes.h"
#include "device_test_support.h"
#include "host/grid_shape.h"
#include "host/site_code.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int n = 32;

// A site with the sums of its region: the three moments and the mass.
struct Region {
    Site site;
    float xSum, ySum, zSum, mass;
};

// A region whose centroid is exactly g: the mass is a power of two (or zero).
Region withCentroid(Site site, float gx, float gy, float gz, float mass) {
    return {site, gx * mass, gy * mass, gz * mass, mass};
}

size_t voxelIndex(const Site& s) { return (size_t(s.z) * n + s.y) * n + s.x; }

std::vector<Site> sitesOf(const std::vector<Region>& regions) {
    std::vector<Site> sites;
    for (const Region& r : regions) sites.push_back(r.site);
    return sites;
}

// A sum as the accumulator holds it: fixed point only for sums it represents exactly.
template <class Moment>
Moment asMoment(float sum) {
    if constexpr (std::is_same_v<Moment, float>) return sum;
    else return Moment(double(sum) * fixedMomentScale);
}

// The new site volume after kernelUpdateCentroid, with the sums of each region at its site voxel and
// the sites clamped into `box`.
template <class Moment = float>
std::vector<int> update(const std::vector<Region>& regions, float omega, GridBox box = cubeBox(n)) {
    const std::vector<int> labels = bruteForceLabelling(sitesOf(regions), n);
    std::vector<Moment> moments[4];
    for (auto& m : moments) m.assign(labels.size(), Moment(0));
    for (const Region& r : regions) {
        const size_t i = voxelIndex(r.site);
        moments[0][i] = asMoment<Moment>(r.xSum);
        moments[1][i] = asMoment<Moment>(r.ySum);
        moments[2][i] = asMoment<Moment>(r.zSum);
        moments[3][i] = asMoment<Moment>(r.mass);
    }
    DeviceArray<int> labelling(labels), newSites(std::vector<int>(labels.size(), EMPTY_SITE));
    DeviceArray<Moment> x(moments[0]), y(moments[1]), z(moments[2]), mass(moments[3]);
    launchUpdateCentroid(labelling.get(), newSites.get(), MomentVolumes<Moment>{x.get(), y.get(), z.get(), mass.get()},
                         omega, box, n);
    return newSites.download();
}

// Nearest voxel to p + omega * (g - p), halves up, clamped into 0 .. limit - 1; g is the float quotient.
int expectedCoordinate(float sum, float mass, int p, float omega, int limit) {
    const float g = sum / mass;
    const long double moved = std::floor(p + (long double)omega * ((long double)g - p) + 0.5L);
    return int(std::min<long double>(std::max<long double>(moved, 0), limit - 1));
}

std::vector<int> expectedVolume(const std::vector<Region>& regions, float omega, GridBox box) {
    std::vector<Site> moved;
    for (const Region& r : regions)
        moved.push_back({expectedCoordinate(r.xSum, r.mass, r.site.x, omega, box.x),
                         expectedCoordinate(r.ySum, r.mass, r.site.y, omega, box.y),
                         expectedCoordinate(r.zSum, r.mass, r.site.z, omega, box.z)});
    return siteVolume(moved, n);
}

// `count` sites at distinct random voxels.
std::vector<Site> randomSites(std::mt19937& random, int count) {
    std::vector<int> voxels(n * n * n);
    for (int i = 0; i < n * n * n; ++i) voxels[i] = i;
    std::shuffle(voxels.begin(), voxels.end(), random);
    std::vector<Site> sites;
    for (int k = 0; k < count; ++k) sites.push_back({voxels[k] % n, voxels[k] / n % n, voxels[k] / (n * n)});
    return sites;
}

std::vector<Region> randomRegions(std::mt19937& random, int count, float spread) {
    std::uniform_real_distribution<float> centroid(-spread, n + spread);
    const float masses[] = {0.25f, 1.0f, 4.0f, 64.0f};
    std::vector<Region> regions;
    for (const Site& s : randomSites(random, count))
        regions.push_back(withCentroid(s, centroid(random), centroid(random), centroid(random), masses[random() % 4]));
    return regions;
}

int siteCount(const std::vector<int>& volume) {
    int count = 0;
    for (int code : volume) count += code >= 0;
    return count;
}

using SiteUpdateTest = DeviceTest;

TEST_F(SiteUpdateTest, OmegaZeroKeepsEverySite) {
    std::mt19937 random(1);
    const std::vector<Region> regions = randomRegions(random, 40, 10.0f);
    EXPECT_EQ(update(regions, 0.0f), siteVolume(sitesOf(regions), n));
}

TEST_F(SiteUpdateTest, HalvesRoundUp) {
    const std::vector<Region> regions = {withCentroid({10, 20, 5}, 10.5f, 19.5f, 6.5f, 1.0f),
                                         withCentroid({3, 3, 3}, 1.5f, 4.5f, 3.0f, 4.0f)};
    EXPECT_EQ(update(regions, 1.0f), siteVolume({{11, 20, 7}, {2, 5, 3}}, n));
}

TEST_F(SiteUpdateTest, ReflectionAtTheBordersLandsOnTheBorderVoxels) {
    // 2 * 0.4 - 2 = -1.2 gives 0; 29 + 2 * (30.4 - 29) = 31.8 gives 31 = n - 1.
    const std::vector<Region> regions = {withCentroid({2, n - 3, 10}, 0.4f, n - 1.6f, 10.0f, 1.0f)};
    EXPECT_EQ(update(regions, 2.0f), siteVolume({{0, n - 1, 10}}, n));
}

TEST_F(SiteUpdateTest, SitesLandingOnOneVoxelBecomeOne) {
    const std::vector<Region> regions = {withCentroid({4, 4, 4}, 6.2f, 6.0f, 6.0f, 1.0f),
                                         withCentroid({8, 8, 8}, 5.9f, 6.1f, 6.0f, 1.0f)};
    const std::vector<int> result = update(regions, 1.0f);
    EXPECT_EQ(siteCount(result), 1);
    EXPECT_EQ(result, siteVolume({{6, 6, 6}}, n));
}

TEST_F(SiteUpdateTest, ARegionWithoutMassKeepsItsSite) {
    // Zero sums, and (as cancelling densities could leave) moments without mass: no centroid either way.
    const std::vector<Region> regions = {{{7, 9, 11}, 0.0f, 0.0f, 0.0f, 0.0f}, {{20, 21, 22}, 3.0f, -5.0f, 0.5f, 0.0f}};
    for (float omega : {2.0f, 1.0f, 0.0f, -1.5f}) EXPECT_EQ(update(regions, omega), siteVolume(sitesOf(regions), n)) << omega;
}

TEST_F(SiteUpdateTest, RandomMovesMatchTheRoundedRelaxedCentroidClampedIntoTheBox) {
    std::mt19937 random(21);
    std::uniform_real_distribution<float> omega(-2.0f, 2.0f);
    std::uniform_int_distribution<int> side(1, n);
    for (int round = 0; round < 24; ++round) {
        // Some centroids far outside the grid: the rounding saturates before the clamp.
        const std::vector<Region> regions = randomRegions(random, 25, round % 3 == 0 ? 1e12f : 8.0f);
        const float w = round == 0 ? 2.0f : omega(random);
        const GridBox box = round % 2 == 0 ? cubeBox(n) : GridBox{side(random), side(random), side(random)};
        ASSERT_EQ(update(regions, w, box), expectedVolume(regions, w, box))
            << "omega " << w << ", box " << box.x << " x " << box.y << " x " << box.z;
    }
}

TEST_F(SiteUpdateTest, FixedPointSumsMoveSitesAsTheFloatSumsOfTheSameValueDo) {
    // Centroids inside the grid, as non-negative densities give, and masses that are powers of two of
    // at least 1, so that both accumulators hold the sums exactly.
    std::mt19937 random(8);
    std::uniform_real_distribution<float> omega(-2.0f, 2.0f);
    for (int round = 0; round < 8; ++round) {
        std::vector<Region> regions = randomRegions(random, 25, -1.0f);
        for (Region& r : regions) r = {r.site, 4.0f * r.xSum, 4.0f * r.ySum, 4.0f * r.zSum, 4.0f * r.mass};
        const float w = omega(random);
        ASSERT_EQ(update<FixedMoment>(regions, w), update<float>(regions, w)) << "omega " << w;
        ASSERT_EQ(update<FixedMoment>(regions, w), expectedVolume(regions, w, cubeBox(n))) << "omega " << w;
    }
}

TEST_F(SiteUpdateTest, ASiteThatIsItsOwnRegionStaysForEveryOmega) {
    std::mt19937 random(4);
    std::uniform_real_distribution<float> density(0.01f, 1.0f);
    std::vector<Region> regions;
    for (const Site& s : randomSites(random, 30)) {
        const float rho = density(random);
        regions.push_back({s, float(s.x) * rho, rho * float(s.y), rho * float(s.z), rho});  // its own moments
    }
    for (float omega = -2.0f; omega <= 2.0f; omega += 0.25f)
        ASSERT_EQ(update(regions, omega), siteVolume(sitesOf(regions), n)) << "omega " << omega;
}

TEST_F(SiteUpdateTest, EmptyLabelsAreNoSites) {
    const std::vector<int> empty(size_t(n) * n * n, EMPTY_SITE);
    const std::vector<float> ones(empty.size(), 1.0f);
    DeviceArray<int> labelling(empty), newSites(empty);
    DeviceArray<float> m(ones);
    launchUpdateCentroid(labelling.get(), newSites.get(), MomentVolumes<float>{m.get(), m.get(), m.get(), m.get()}, 1.0f,
                         cubeBox(n), n);
    EXPECT_EQ(newSites.download(), empty);
}

// With a mask of two slabs, x <= 10 and x >= 20: a move into the gap lands on the nearer slab's face
// (x = 10 on a tie, the smaller x), one that stays inside is not sent anywhere, and the kernel counts
// exactly the moves it sent. A region without mass whose site lies outside goes inside as well.
TEST_F(SiteUpdateTest, AMaskSendsEveryMoveThatLeavesItToTheNearestInsideVoxelAndCountsIt) {
    const auto insideX = [](int x) { return x <= 10 || x >= 20; };
    std::vector<int> nearestInside(size_t(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                nearestInside[voxelIndex({x, y, z})] = encodeSite(insideX(x) ? x : x - 10 <= 20 - x ? 10 : 20, y, z);
    struct Case {
        Region region;
        Site expected;
    };
    const Case cases[] = {
        {withCentroid({3, 4, 5}, 15, 4, 5, 2), {10, 4, 5}},      // the middle of the gap: the smaller x
        {withCentroid({28, 7, 9}, 15.5f, 7, 9, 4), {20, 7, 9}},  // rounds to 16: nearer the right slab
        {withCentroid({25, 2, 2}, 13, 2, 2, 2), {10, 2, 2}},     // nearer the left slab
        {withCentroid({6, 20, 30}, 8, 21, 30, 1), {8, 21, 30}},  // stays inside: no move
        {{{15, 9, 9}, 0, 0, 0, 0}, {10, 9, 9}},                  // no mass, outside: goes inside
    };
    std::vector<Region> regions;
    for (const Case& c : cases) regions.push_back(c.region);
    const std::vector<int> labels = bruteForceLabelling(sitesOf(regions), n);
    std::vector<float> moments[4];
    for (auto& m : moments) m.assign(labels.size(), 0.0f);
    for (const Region& r : regions) {
        const size_t i = voxelIndex(r.site);
        moments[0][i] = r.xSum, moments[1][i] = r.ySum, moments[2][i] = r.zSum, moments[3][i] = r.mass;
    }
    DeviceArray<int> labelling(labels), newSites(std::vector<int>(labels.size(), EMPTY_SITE)), map(nearestInside);
    DeviceArray<float> x(moments[0]), y(moments[1]), z(moments[2]), mass(moments[3]);
    DeviceArray<unsigned> moves(std::vector<unsigned>{7});
    launchUpdateCentroid(labelling.get(), newSites.get(), MomentVolumes<float>{x.get(), y.get(), z.get(), mass.get()},
                         1.0f, cubeBox(n), n, InsideMap{map.get(), moves.get()});
    std::vector<int> expected(labels.size(), EMPTY_SITE);
    for (const Case& c : cases) expected[voxelIndex(c.expected)] = encodeSite(c.expected.x, c.expected.y, c.expected.z);
    EXPECT_EQ(newSites.download(), expected);
    EXPECT_EQ(moves.download()[0], 7u + 4u);
}

}  // namespace
CVT_END_NAMESPACE
