// One complete Lloyd iteration on the buffer set: a labelling from the host, the whole centroid step,
// the exchange of the site volumes.
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "centroid/centroid.h"
#include "device_test_support.h"
#include "host/site_code.h"
#include "driver/transition.h"
#include "host/buffers.h"
#include "lattice_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int n = 64;

struct Centroid {
    double x = 0, y = 0, z = 0, mass = 0;
};

size_t voxelIndex(int x, int y, int z) { return (size_t(z) * n + y) * n + x; }

// A smooth positive bump off the centre, so that centroids differ from the region centres.
std::vector<float> bumpDensity() {
    std::vector<float> density(size_t(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double r2 = (x - 40.0) * (x - 40.0) + (y - 20.0) * (y - 20.0) + (z - 30.0) * (z - 30.0);
                density[voxelIndex(x, y, z)] = float(0.05 + std::exp(-r2 / 300.0));
            }
    return density;
}

// The true density-weighted centroid of each labelled site.
std::map<int, Centroid> centroids(const std::vector<int>& labels, const std::vector<float>& density) {
    std::map<int, Centroid> sums;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double rho = density[voxelIndex(x, y, z)];
                Centroid& c = sums[labels[voxelIndex(x, y, z)]];
                c.x += x * rho;
                c.y += y * rho;
                c.z += z * rho;
                c.mass += rho;
            }
    for (auto& [code, c] : sums) c = {c.x / c.mass, c.y / c.mass, c.z / c.mass, c.mass};
    return sums;
}

// The sites of a site volume; fails unless every non-empty voxel holds its own code.
std::vector<Site> sitesOfVolume(const std::vector<int>& volume) {
    std::vector<Site> sites;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const int code = volume[voxelIndex(x, y, z)];
                if (code < 0) continue;
                EXPECT_EQ(code, encodeSite(x, y, z)) << "voxel (" << x << ", " << y << ", " << z << ")";
                sites.push_back({x, y, z});
            }
    return sites;
}

// sum of rho * squared distance to the labelled site
double energy(const std::vector<int>& labels, const std::vector<float>& density) {
    double total = 0;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const int code = labels[voxelIndex(x, y, z)];
                const double dx = x - siteX(code), dy = y - siteY(code), dz = z - siteZ(code);
                total += density[voxelIndex(x, y, z)] * (dx * dx + dy * dy + dz * dz);
            }
    return total;
}

class CentroidStepTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (IsSkipped()) return;
        allocateBuffers(n);
        voronoiIndex = 1;
        currentSites = voronoiBuffers[1];
        scratchSites = voronoiBuffers[0];
        levelIndex = 0;
        uploadVolume(densityLevels[0], density);
    }
    void TearDown() override { releaseBuffers(); }

    // Runs the step on a labelling and returns the new current site volume.
    std::vector<int> iterate(const std::vector<int>& labels, float omega) {
        uploadVolume(currentSites, labels);
        relaxation = omega;
        launchCentroidStep();
        exchangeSiteVolumes();
        EXPECT_EQ(voronoiIndex, 0);
        EXPECT_EQ(currentSites, voronoiBuffers[0]);
        return downloadVolume(currentSites, labels.size());
    }

    const std::vector<float> density = bumpDensity();
};

TEST_F(CentroidStepTest, LatticeSitesMoveOntoTheirRoundedRelaxedCentroids) {
    const Lattice lattice = evenLattice(n, {3, 4, 2});
    const std::vector<int> labels = latticeLabelling(lattice, n);
    for (float omega : {1.0f, 1.5f}) {
        std::vector<Site> expected;
        for (const auto& [code, g] : centroids(labels, density)) {
            const auto moved = [&](double centroid, int p) { return int(std::floor(p + omega * (centroid - p) + 0.5)); };
            expected.push_back({moved(g.x, siteX(code)), moved(g.y, siteY(code)), moved(g.z, siteZ(code))});
        }
        EXPECT_EQ(iterate(labels, omega), siteVolume(expected, n)) << "omega " << omega;
        voronoiIndex = 1;  // back to the starting pair for the next round
        currentSites = voronoiBuffers[1];
        scratchSites = voronoiBuffers[0];
    }
}

TEST_F(CentroidStepTest, RandomSitesMoveTowardsTheirCentroids) {
    std::mt19937 random(17);
    std::uniform_int_distribution<int> coordinate(0, n - 1);
    std::vector<Site> sites;
    for (int k = 0; k < 12; ++k) sites.push_back({coordinate(random), coordinate(random), coordinate(random)});
    const std::vector<int> labels = bruteForceLabelling(sites, n);
    const std::vector<Site> moved = sitesOfVolume(iterate(labels, 1.0f));
    ASSERT_FALSE(moved.empty());
    EXPECT_LE(moved.size(), sites.size());
    // Every centroid that lay away from its site now has a site at less than half the old distance.
    for (const auto& [code, centroid] : centroids(labels, density)) {
        const Centroid g = centroid;  // a lambda may not capture a structured binding in C++17
        const auto distance = [g](const Site& s) { return std::hypot(s.x - g.x, s.y - g.y, s.z - g.z); };
        const double before = distance({siteX(code), siteY(code), siteZ(code)});
        double after = INFINITY;
        for (const Site& s : moved) after = std::min(after, distance(s));
        if (before > 2.0) EXPECT_LT(after, 0.5 * before);
    }
    EXPECT_LT(energy(bruteForceLabelling(moved, n), density), energy(labels, density));
}

}  // namespace
CVT_END_NAMESPACE
