// Energy evaluation against a double-precision sum, and the reduction's bounds and determinism.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "device_test_support.h"
#include "driver/energy.h"
#include "host/buffers.h"
#include "host/site_code.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

class EnergyTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }

    // Prepares a labelling and density of edge n on pyramid level `level` of a set of full edge `full`.
    void prepare(int full, int level, const std::vector<int>& labels, const std::vector<float>& density) {
        releaseBuffers();
        allocateBuffers(full);
        gridSize = full >> level;
        levelIndex = level;
        voronoiIndex = 0;
        currentSites = voronoiBuffers[0];
        scratchSites = voronoiBuffers[1];
        uploadVolume(currentSites, labels);
        uploadVolume(densityLevels[level], density);
    }
};

double referenceEnergy(const std::vector<int>& labels, const std::vector<float>& density, int n) {
    double sum = 0.0;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const size_t i = (size_t(z) * n + y) * n + x;
                const double dx = 2.0 * (x - siteX(labels[i])) / n, dy = 2.0 * (y - siteY(labels[i])) / n,
                             dz = 2.0 * (z - siteZ(labels[i])) / n;
                sum += density[i] * (dx * dx + dy * dy + dz * dz);
            }
    return sum;
}

TEST_F(EnergyTest, ZeroDensityGivesZeroOnEveryLevel) {
    for (int level : {0, 1, 2}) {
        const int n = 256 >> level;
        prepare(256, level, siteVolume({{3, 4, 5}}, n), std::vector<float>(size_t(n) * n * n, 0.0f));
        EXPECT_EQ(evaluateEnergy(), 0.0f) << level;
    }
}

TEST_F(EnergyTest, SingleSiteAtTheOriginMatchesTheClosedForm) {
    for (int n : {64, 128}) {
        prepare(n, 0, std::vector<int>(size_t(n) * n * n, 0), std::vector<float>(size_t(n) * n * n, 1.0f));
        double axis = 0.0;
        for (int x = 0; x < n; ++x) axis += (2.0 * x / n) * (2.0 * x / n);
        const double expected = 3.0 * n * n * axis;
        EXPECT_NEAR(evaluateEnergy(), expected, expected * 2e-6) << n;
    }
}

TEST_F(EnergyTest, RandomLabellingsMatchADoubleSumAndRepeatBitForBit) {
    std::mt19937 random(7);
    const int n = 64;
    std::vector<Site> sites;
    std::uniform_int_distribution<int> coordinate(0, n - 1);
    for (int s = 0; s < 40; ++s) sites.push_back({coordinate(random), coordinate(random), coordinate(random)});
    const std::vector<int> labels = bruteForceLabelling(sites, n);
    std::vector<float> density(size_t(n) * n * n);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (float& d : density) d = value(random);
    prepare(n, 0, labels, density);
    const float first = evaluateEnergy();
    const double expected = referenceEnergy(labels, density, n);
    EXPECT_NEAR(first, expected, expected * 1e-5);
    EXPECT_EQ(evaluateEnergy(), first);
    EXPECT_EQ(energyReadback, first);
}

TEST_F(EnergyTest, CoarseLevelsAreScaledToTheFullGrid) {
    const int n = 64;
    const std::vector<int> labels = siteVolume({{10, 20, 30}}, n);
    std::vector<int> full(labels.size(), encodeSite(10, 20, 30));
    prepare(128, 1, full, std::vector<float>(size_t(n) * n * n, 0.5f));
    const float energy = evaluateEnergy();
    EXPECT_EQ(energy, 8.0f * energyReadback);
    const double expected = referenceEnergy(full, std::vector<float>(size_t(n) * n * n, 0.5f), n);
    EXPECT_NEAR(energyReadback, expected, expected * 1e-5);
}

// A pass never reads past `count`: values beyond it are NaN and would poison the sums.
TEST_F(EnergyTest, ReductionPassesReadOnlyTheirCount) {
    allocateBuffers(64);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (unsigned count : {1u, 64u, 513u, 1024u, 1025u, 3000u, 70000u}) {
        std::vector<float> values(count + 4096, nan);
        for (unsigned i = 0; i < count; ++i) values[i] = float(i % 97) * 0.25f;
        DeviceArray<float> input(values);
        const int blocks = reduceBlocks(int(count));
        DeviceArray<float> output{static_cast<size_t>(blocks)};
        launchReduce(input.get(), output.get(), count, blocks);
        double total = 0.0, expected = 0.0;
        for (float partial : output.download()) total += partial;
        for (unsigned i = 0; i < count; ++i) expected += values[i];
        EXPECT_EQ(total, expected) << count;  // quarters of small integers add exactly
    }
}

TEST(ReduceBlocks, FollowTheCountWithACap) {
    EXPECT_EQ(reduceBlocks(256 * 256 * 256), 32768);
    EXPECT_EQ(reduceBlocks(32768), 64);
    EXPECT_EQ(reduceBlocks(64), 1);
    EXPECT_EQ(reduceBlocks(128 * 128 * 128), 4096);
    EXPECT_EQ(reduceBlocks(4096), 8);
    EXPECT_EQ(reduceBlocks(64 * 64 * 64), 512);
    EXPECT_EQ(reduceBlocks(513), 2);
}

}  // namespace
CVT_END_NAMESPACE
