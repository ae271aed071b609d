// The centroid step: moments, per-site integration and site update against double-precision region
// sums computed directly from the labelling.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "centroid/centroid.h"
#include "host/launch_shapes.h"
#include "device_test_support.h"
#include "host/buffers.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

struct Sums {
    double x = 0, y = 0, z = 0, mass = 0;
};

size_t voxelIndex(int x, int y, int z, int n) { return (size_t(z) * n + y) * n + x; }

// The true mass and moment sums of every site's region.
std::map<int, Sums> regionSums(const std::vector<int>& labels, const std::vector<float>& density, int n) {
    std::map<int, Sums> sums;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double rho = density[voxelIndex(x, y, z, n)];
                Sums& s = sums[labels[voxelIndex(x, y, z, n)]];
                s.x += x * rho;
                s.y += y * rho;
                s.z += z * rho;
                s.mass += rho;
            }
    return sums;
}

std::vector<float> randomDensity(int n, std::mt19937& random) {
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> density(size_t(n) * n * n);
    for (float& rho : density) rho = random() % 8 == 0 ? 0.0f : value(random);
    return density;
}

// The four moment volumes and the row site map after the moment and integration kernels.
template <class Moment>
struct Integrated {
    std::vector<Moment> moments[4];
    std::vector<int> rowSiteMap;
};

template <class Moment = float>
Integrated<Moment> integrate(const std::vector<int>& labels, const std::vector<float>& density, int n) {
    const size_t count = size_t(n) * n * n;
    DeviceArray<int> labelling(labels), rowSiteMap(count);
    DeviceArray<float> rho(density);
    DeviceArray<Moment> x(count), y(count), z(count), mass(count);
    launchCalcProduct(rho.get(), MomentVolumes<Moment>{x.get(), y.get(), z.get(), mass.get()}, n);
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(n), rowBlock(), sizeof(int) * n, labelling.get(), rowSiteMap.get(), n);
    launchTotalX(labelling.get(), MomentVolumes<Moment>{x.get(), y.get(), z.get(), mass.get()}, n);
    launchTotalYZ(rowSiteMap.get(), MomentVolumes<Moment>{x.get(), y.get(), z.get(), mass.get()}, n);
    return {{x.download(), y.download(), z.download(), mass.download()}, rowSiteMap.download()};
}

// Every site voxel holds its region's sums, up to float rounding of sums of non-negative terms.
void expectSiteSums(const Integrated<float>& result, const std::map<int, Sums>& expected, int n) {
    for (const auto& [code, sums] : expected) {
        const size_t i = voxelIndex(siteX(code), siteY(code), siteZ(code), n);
        const double want[4] = {sums.x, sums.y, sums.z, sums.mass};
        for (int m = 0; m < 4; ++m)
            EXPECT_NEAR(result.moments[m][i], want[m], 2e-5 * want[m] + 1e-30)
                << "moment " << m << " of site (" << siteX(code) << ", " << siteY(code) << ", " << siteZ(code) << ")";
    }
}

using CentroidTest = DeviceTest;

TEST_F(CentroidTest, MomentsAreSingleProductsOfIndexAndDensity) {
    const int n = 32;
    const size_t count = size_t(n) * n * n, spare = 5000;
    std::mt19937 random(7);
    const std::vector<float> density = randomDensity(n, random);
    DeviceArray<float> rho(density);
    const std::vector<float> sentinels(count + spare, -7.0f);
    DeviceArray<float> x(sentinels), y(sentinels), z(sentinels), mass(sentinels);
    launchCalcProduct(rho.get(), MomentVolumes<float>{x.get(), y.get(), z.get(), mass.get()}, n);
    const std::vector<float> got[4] = {x.download(), y.download(), z.download(), mass.download()};
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const size_t i = voxelIndex(x, y, z, n);
                ASSERT_EQ(got[0][i], float(x) * density[i]);
                ASSERT_EQ(got[1][i], density[i] * float(y));
                ASSERT_EQ(got[2][i], density[i] * float(z));
                ASSERT_EQ(got[3][i], density[i]);
            }
    // Only the n-grid is written.
    for (int m = 0; m < 4; ++m)
        for (size_t i = count; i < count + spare; ++i) ASSERT_EQ(got[m][i], -7.0f);
}

TEST_F(CentroidTest, LatticeRegionsGetTheirTrueSums) {
    std::mt19937 random(11);
    struct Case {
        int n;
        std::array<int, 3> counts;
        bool even;
    };
    for (const Case& c : {Case{32, {3, 4, 5}, true}, Case{32, {7, 2, 9}, false}, Case{32, {32, 1, 3}, false},
                          Case{64, {5, 6, 4}, false}, Case{64, {4, 4, 4}, true}, Case{96, {6, 3, 2}, false}}) {
        const Lattice lattice = c.even ? evenLattice(c.n, c.counts) : randomLattice(c.n, c.counts, random);
        const std::vector<int> labels = latticeLabelling(lattice, c.n);
        const std::vector<float> density = randomDensity(c.n, random);
        const Integrated result = integrate(labels, density, c.n);
        SCOPED_TRACE("n = " + std::to_string(c.n));
        expectSiteSums(result, regionSums(labels, density, c.n), c.n);
        // Each row crosses one box per lattice x: the row site map names exactly those sites.
        for (size_t i = 0; i < labels.size(); ++i) {
            const int x = int(i % c.n);
            const size_t rowStart = i - x;
            int named = EMPTY_SITE;
            for (int v = 0; v < c.n; ++v)
                if (siteX(labels[rowStart + v]) == x) named = labels[rowStart + v];
            ASSERT_EQ(result.rowSiteMap[i], named) << "voxel " << i;
        }
    }
}

TEST_F(CentroidTest, ASingleSiteGetsTheWholeGrid) {
    const int n = 32;
    std::mt19937 random(3);
    const std::vector<int> labels = bruteForceLabelling({{17, 4, 29}}, n);
    const std::vector<float> density = randomDensity(n, random);
    expectSiteSums(integrate(labels, density, n), regionSums(labels, density, n), n);
}

TEST_F(CentroidTest, ASiteOfOneVoxelKeepsItsOwnValues) {
    // Six neighbours around (8, 8, 8) are nearer to every other voxel.
    const int n = 32;
    const std::vector<int> labels =
        bruteForceLabelling({{8, 8, 8}, {7, 8, 8}, {9, 8, 8}, {8, 7, 8}, {8, 9, 8}, {8, 8, 7}, {8, 8, 9}}, n);
    std::mt19937 random(5);
    const std::vector<float> density = randomDensity(n, random);
    const Integrated result = integrate(labels, density, n);
    const size_t i = voxelIndex(8, 8, 8, n);
    ASSERT_EQ(labels[i], encodeSite(8, 8, 8));
    EXPECT_EQ(result.moments[0][i], 8.0f * density[i]);
    EXPECT_EQ(result.moments[1][i], density[i] * 8.0f);
    EXPECT_EQ(result.moments[2][i], density[i] * 8.0f);
    EXPECT_EQ(result.moments[3][i], density[i]);
}

TEST_F(CentroidTest, SitesSharingAnXInARowAreCreditedToTheOneTheMapNames) {
    // No exact labelling does this; a hand-made one: a and b share x = 5 and split row (10, 10).
    const int n = 32;
    const int a = encodeSite(5, 3, 3), b = encodeSite(5, 20, 20);
    std::vector<int> labels(size_t(n) * n * n, a);
    for (int x = 0; x < n; ++x) {
        labels[voxelIndex(x, 20, 20, n)] = b;
        if (x >= 16) labels[voxelIndex(x, 10, 10, n)] = b;
    }
    std::mt19937 random(9);
    const std::vector<float> density = randomDensity(n, random);
    const Integrated result = integrate(labels, density, n);
    const int named = result.rowSiteMap[voxelIndex(5, 10, 10, n)];
    ASSERT_TRUE(named == a || named == b) << named;
    for (int x = 0; x < n; ++x)
        if (x != 5) EXPECT_EQ(result.rowSiteMap[voxelIndex(x, 10, 10, n)], EMPTY_SITE) << x;
    // The named site gets the whole row, the other nothing of it.
    std::vector<int> credited = labels;
    for (int x = 0; x < n; ++x) credited[voxelIndex(x, 10, 10, n)] = named;
    expectSiteSums(result, regionSums(credited, density, n), n);
}

TEST_F(CentroidTest, AnAnchorOfAnotherSiteMovesWhatItHeldAtTheStartOfItsChunk) {
    // Row (0, 0) of a 96-grid, three chunks. Voxel 40 is labelled by a site of x 10 but is the row
    // anchor of a site of x 40, whose voxels 5 (earlier chunk), 35 and 45 (same chunk) and 70 (later
    // chunk) add to it. It moves its own value and the earlier chunk's addition, and nothing else.
    const int n = 96;
    const int u = encodeSite(0, 0, 0), s = encodeSite(10, 1, 1), t = encodeSite(40, 2, 2);
    std::vector<int> labels(size_t(n) * n * n, u);
    labels[40] = s;
    for (int x : {5, 35, 45, 70}) labels[x] = t;
    std::vector<float> density(labels.size());
    for (size_t i = 0; i < density.size(); ++i) density[i] = float(i % n + 1);  // sums stay exact
    DeviceArray<int> labelling(labels);
    DeviceArray<float> rho(density), x(labels.size()), y(labels.size()), z(labels.size()), mass(labels.size());
    launchCalcProduct(rho.get(), MomentVolumes<float>{x.get(), y.get(), z.get(), mass.get()}, n);
    launchTotalX(labelling.get(), MomentVolumes<float>{x.get(), y.get(), z.get(), mass.get()}, n);
    const std::vector<float> got = mass.download();
    EXPECT_EQ(got[40], density[40] + density[5] + density[35] + density[45] + density[70]);
    EXPECT_EQ(got[10], density[10] + (density[40] + density[5]));
    float rest = 0.0f;
    for (int v = 0; v < n; ++v)
        if (v != 5 && v != 35 && v != 40 && v != 45 && v != 70) rest += density[v];
    EXPECT_EQ(got[0], rest);
    for (int v : {5, 35, 45, 70}) EXPECT_EQ(got[v], density[v]) << "a moved voxel keeps its value";
}

// The gather as a plain double-precision loop over each row's chunks: what every voxel of the four
// moment volumes holds afterwards, for an exact labelling (where the row site map is unambiguous).
std::array<std::vector<double>, 4> referenceGather(const std::vector<int>& labels, const std::vector<float>& density,
                                                   int n) {
    std::array<std::vector<double>, 4> moments;
    for (auto& m : moments) m.resize(labels.size());
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const size_t i = voxelIndex(x, y, z, n);
                const double rho = density[i];
                moments[0][i] = x * rho, moments[1][i] = y * rho, moments[2][i] = z * rho, moments[3][i] = rho;
            }
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y) {
            const size_t base = voxelIndex(0, y, z, n);
            for (int chunk = 0; chunk < n; chunk += 32) {
                double held[4][32];
                for (int m = 0; m < 4; ++m)
                    for (int lane = 0; lane < 32; ++lane) held[m][lane] = moments[m][base + chunk + lane];
                for (int lane = 0; lane < 32; ++lane) {
                    const int anchor = siteX(labels[base + chunk + lane]);
                    if (anchor == chunk + lane) continue;
                    for (int m = 0; m < 4; ++m) moments[m][base + anchor] += held[m][lane];
                }
            }
        }
    // Each row anchor that is not its site's voxel then moves its row sums there.
    const std::array<std::vector<double>, 4> afterRows = moments;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y) {
            std::vector<int> siteOfX(n, EMPTY_SITE);
            for (int x = 0; x < n; ++x) siteOfX[siteX(labels[voxelIndex(x, y, z, n)])] = labels[voxelIndex(x, y, z, n)];
            for (int x = 0; x < n; ++x) {
                const int code = siteOfX[x];
                if (code == EMPTY_SITE || (siteY(code) == y && siteZ(code) == z)) continue;
                const size_t anchor = voxelIndex(x, y, z, n), site = voxelIndex(x, siteY(code), siteZ(code), n);
                for (int m = 0; m < 4; ++m) moments[m][site] += afterRows[m][anchor];
            }
        }
    return moments;
}

TEST_F(CentroidTest, LabellingAndGatherMatchAReferenceThatMovesWhatEachVoxelHeldAtItsChunksStart) {
    // Clustered sites on grids of two and three chunks per row make many row anchors that another
    // site labels, in the same chunk as voxels that add to them. Small integer densities keep every
    // float sum exact, so the comparison is exact whatever order the atomics take.
    std::mt19937 random(17);
    int anchorsMovedWithinTheirChunk = 0;
    for (int n : {64, 96}) {
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<Site> sites;
            std::uniform_int_distribution<int> centre(8, n - 9), offset(-6, 6);
            for (int cluster = 0; cluster < 6; ++cluster) {
                const int cx = centre(random), cy = centre(random), cz = centre(random);
                for (int k = 0; k < 8; ++k) sites.push_back({cx + offset(random), cy + offset(random), cz + offset(random)});
            }
            std::sort(sites.begin(), sites.end(), [](const Site& a, const Site& b) {
                return std::tie(a.x, a.y, a.z) < std::tie(b.x, b.y, b.z);
            });
            sites.erase(std::unique(sites.begin(), sites.end(),
                                    [](const Site& a, const Site& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }),
                        sites.end());
            allocateBuffers(n);
            voronoiIndex = 0;
            uploadVolume(voronoiBuffers[0], siteVolume(sites, n));
            computeVoronoi();
            const std::vector<int> labels = downloadVolume(currentSites, size_t(n) * n * n);
            releaseBuffers();
            std::vector<float> density(labels.size());
            for (float& rho : density) rho = float(1 + random() % 3);
            for (size_t i = 0; i < labels.size(); ++i) {
                const int x = int(i % n), anchor = siteX(labels[i]);
                const int anchorLabel = labels[i - x + anchor];
                anchorsMovedWithinTheirChunk += anchor / 32 == x / 32 && anchor != x && siteX(anchorLabel) != anchor;
            }
            const Integrated result = integrate(labels, density, n);
            const std::array<std::vector<double>, 4> expected = referenceGather(labels, density, n);
            for (int m = 0; m < 4; ++m)
                for (size_t i = 0; i < labels.size(); ++i)
                    ASSERT_EQ(double(result.moments[m][i]), expected[m][i])
                        << "n " << n << ", trial " << trial << ", moment " << m << ", voxel " << i;
        }
    }
    EXPECT_GT(anchorsMovedWithinTheirChunk, 0) << "the labellings never exercised the rule";
}

TEST_F(CentroidTest, FixedPointSumsAreTheRegionSumsWithinOneRoundingPerVoxel) {
    // Lattice regions are boxes, so every site voxel ends with its region's sums; each product is
    // rounded once to 2^-24, and the integer additions add no error.
    std::mt19937 random(23);
    for (const auto& [n, counts] : {std::pair{32, std::array<int, 3>{3, 4, 5}}, std::pair{64, std::array<int, 3>{5, 2, 7}}}) {
        const std::vector<int> labels = latticeLabelling(randomLattice(n, counts, random), n);
        const std::vector<float> density = randomDensity(n, random);
        const Integrated<FixedMoment> result = integrate<FixedMoment>(labels, density, n);
        std::map<int, size_t> voxels;
        for (int code : labels) ++voxels[code];
        for (const auto& [code, sums] : regionSums(labels, density, n)) {
            const size_t i = voxelIndex(siteX(code), siteY(code), siteZ(code), n);
            const double want[4] = {sums.x, sums.y, sums.z, sums.mass};
            for (int m = 0; m < 4; ++m)
                ASSERT_NEAR(double(result.moments[m][i]) / fixedMomentScale, want[m],
                            double(voxels[code]) * 0.5 / fixedMomentScale + 1e-12 * want[m])
                    << "n " << n << ", moment " << m;
        }
    }
}

TEST_F(CentroidTest, FixedPointSumsAtTheLargestDensityAreExact) {
    // Density 1 everywhere, the largest the bound allows: every product is an integer times 2^24, so the
    // sums of one site's region (the whole grid) must be the closed forms exactly, with nothing lost.
    const int n = 64;
    const std::vector<int> labels = bruteForceLabelling({{63, 0, 31}}, n);
    const Integrated<FixedMoment> result = integrate<FixedMoment>(labels, std::vector<float>(labels.size(), 1.0f), n);
    const size_t site = voxelIndex(63, 0, 31, n);
    const FixedMoment unit = FixedMoment(fixedMomentScale);
    const FixedMoment axisSum = FixedMoment(n) * (n - 1) / 2 * n * n;  // the sum of one coordinate over the grid
    EXPECT_EQ(result.moments[0][site], axisSum * unit);
    EXPECT_EQ(result.moments[1][site], axisSum * unit);
    EXPECT_EQ(result.moments[2][site], axisSum * unit);
    EXPECT_EQ(result.moments[3][site], FixedMoment(n) * n * n * unit);
}

TEST_F(CentroidTest, FixedPointSumsComeOutTheSameOnEveryRun) {
    // Clustered sites: many atomic additions into few site voxels, from many blocks, in whatever order
    // the device runs them. Float sums may differ in their last bits; fixed-point sums may not.
    std::mt19937 random(29);
    const int n = 64;
    std::vector<Site> sites;
    for (int k = 0; k < 12; ++k) sites.push_back({int(random() % 8) * 8, int(random() % 64), int(random() % 64)});
    std::sort(sites.begin(), sites.end(),
              [](const Site& a, const Site& b) { return std::tie(a.x, a.y, a.z) < std::tie(b.x, b.y, b.z); });
    sites.erase(std::unique(sites.begin(), sites.end(),
                            [](const Site& a, const Site& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }),
                sites.end());
    const std::vector<int> labels = bruteForceLabelling(sites, n);
    const std::vector<float> density = randomDensity(n, random);
    const Integrated<FixedMoment> first = integrate<FixedMoment>(labels, density, n);
    for (int run = 0; run < 4; ++run) {
        const Integrated<FixedMoment> again = integrate<FixedMoment>(labels, density, n);
        for (int m = 0; m < 4; ++m) ASSERT_EQ(again.moments[m], first.moments[m]) << "run " << run << ", moment " << m;
    }
}

}  // namespace
CVT_END_NAMESPACE
