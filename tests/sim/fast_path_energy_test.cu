// The energy evaluation's fast paths (term per voxel, sum reduction) and the density pyramid's against
// their simulated kernels: every case lays inputs and outputs in one array that starts as random
// bytes, and the whole array must come out the same both ways.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/launch_shapes.h"
#include "driver/energy.h"
#include "driver/pyramid.h"
#include "fast_path_comparison.h"
#include "host/buffers.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int edge) { return size_t(edge) * edge * edge; }

std::vector<float> randomBytes(size_t count, std::mt19937& random) {
    std::vector<uint32_t> words(count);
    for (uint32_t& w : words) w = static_cast<uint32_t>(random());
    std::vector<float> values(count);
    if (count > 0) std::memcpy(values.data(), words.data(), count * sizeof(float));
    return values;
}

// What the values of a case are made of.
enum class Values { ordinary, awkward, negativeZeros };

// The NaN that invalid operations make here. Which operand's NaN a sum of two NaNs passes on is the
// compiler's choice (it commutes additions of the simulated kernels too), so the awkward values hold no
// other NaN: every NaN a sum can meet is then this one, whichever operand comes first.
float invalidOperationNan() {
    volatile float inf = std::numeric_limits<float>::infinity();
    return inf - inf;
}

// Ordinary: both signs, magnitudes over 40 binades, so that a change of summation order shows.
// Awkward: ordinary values mixed with zeros of both signs, values whose sums overflow, subnormals,
// infinities, NaNs and arbitrary bit patterns.
std::vector<float> valuesOf(Values kind, size_t count, std::mt19937& random) {
    const float inf = std::numeric_limits<float>::infinity(), nan = invalidOperationNan();
    const float specials[] = {0.0f, -0.0f, inf, -inf, nan, FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_TRUE_MIN, 1.0f};
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::vector<float> values(count);
    for (float& v : values) {
        const float sign = random() % 2 ? 1.0f : -1.0f;
        const unsigned pick = kind == Values::awkward ? random() % 8 : 7;
        if (kind == Values::negativeZeros) v = -0.0f;
        else if (pick == 0) v = specials[random() % std::size(specials)];
        else if (pick == 1) v = sign * std::ldexp(mantissa(random), 100 + int(random() % 28));
        else if (pick == 2) v = sign * std::ldexp(mantissa(random), -140 - int(random() % 9));
        else if (pick == 3) v = randomBytes(1, random)[0];
        else v = sign * std::ldexp(mantissa(random), int(random() % 41) - 20);
        if (std::isnan(v)) v = nan;
    }
    return values;
}

// `launch` on an array that starts as `initial`, simulated and by its fast path: the same bytes.
template <class Launch>
void expectSameArray(const std::vector<float>& initial, Launch launch, const std::string& what) {
    const auto [simulated, fast] = bothWays(initial, launch);
    ASSERT_EQ(std::memcmp(simulated.data(), fast.data(), initial.size() * sizeof(float)), 0) << what;
}

template <class T>
void place(std::vector<float>& array, size_t at, const std::vector<T>& values) {
    static_assert(sizeof(T) == sizeof(float));
    if (!values.empty()) std::memcpy(array.data() + at, values.data(), values.size() * sizeof(T));
}

// The labellings an energy evaluation meets, and codes no labelling has (empty, any negative value,
// sites beyond the grid).
enum class Labels { arbitraryCodes, singleFarSite, randomLattice, clusteredSites };

std::vector<int> labelsOf(Labels kind, int n, std::mt19937& random) {
    switch (kind) {
    case Labels::arbitraryCodes: {
        std::vector<int> codes(cube(n));
        const std::vector<float> bytes = randomBytes(codes.size(), random);
        std::memcpy(codes.data(), bytes.data(), bytes.size() * sizeof(float));
        return codes;
    }
    case Labels::singleFarSite: return std::vector<int>(cube(n), encodeSite(coordinateMask, 0, coordinateMask));
    case Labels::randomLattice: return latticeLabelling(randomLattice(n, {3, 5, 2}, random), n);
    case Labels::clusteredSites: {
        std::vector<Site> sites;
        for (int s = 0; s < 12; ++s) sites.push_back({int(random() % 6), n - 1 - int(random() % 6), int(random() % 6)});
        return bruteForceLabelling(sites, n);
    }
    }
    return {};
}

TEST_F(FastPathTest, EnergyTermsAreTheKernelsForEveryLabellingAndDensity) {
    struct Case {
        int n;
        Labels labels;
        Values density;
        AxisScales scales;
    };
    // Edges that are powers of two take the fast path's plain arithmetic where every scale multiplies
    // exactly (1, 2.5, 4), the others and scales such as 25/7 or 20 at edge 96 its tables.
    const Case cases[] = {
        {32, Labels::arbitraryCodes, Values::awkward, {}},
        {64, Labels::singleFarSite, Values::awkward, {}},
        {96, Labels::randomLattice, Values::ordinary, {}},
        {32, Labels::clusteredSites, Values::awkward, {}},
        {160, Labels::arbitraryCodes, Values::awkward, {}},
        {64, Labels::randomLattice, Values::ordinary, {}},
        {64, Labels::randomLattice, Values::awkward, {1, 1, 2.5}},
        {32, Labels::arbitraryCodes, Values::awkward, {4, 1, 1}},
        {64, Labels::arbitraryCodes, Values::awkward, {1, 25.0 / 7, 25.0 / 7}},
        {96, Labels::clusteredSites, Values::ordinary, {20, 1, 1.0000001}},
        {32, Labels::singleFarSite, Values::awkward, {1024, 1, 3.3}}};
    std::mt19937 random(11);
    for (const Case& c : cases) {
        const size_t volume = cube(c.n);
        // Labels, density, terms and a margin behind them.
        std::vector<float> array = randomBytes(3 * volume + 1000, random);
        place(array, 0, labelsOf(c.labels, c.n, random));
        place(array, volume, valuesOf(c.density, volume, random));
        expectSameArray(
            array,
            [&](float* a) {
                LAUNCH_KERNEL(kernelEnergyValue, voxelGrid(c.n), voxelBlock(), 0, reinterpret_cast<const int*>(a),
                              a + volume, a + 2 * volume, c.n, c.scales);
            },
            "edge " + std::to_string(c.n) + ", labelling " + std::to_string(int(c.labels)));
    }
}

TEST_F(FastPathTest, ReductionPassesAreTheKernelsForEveryCountAndGrid) {
    struct Case {
        unsigned count;
        int blocks;  // 0: reduceBlocks(count)
        Values values;
    };
    const Case cases[] = {
        {0, 3, Values::awkward},       {1, 0, Values::ordinary},         {37, 1, Values::awkward},
        {511, 0, Values::ordinary},    {512, 0, Values::awkward},        {513, 0, Values::ordinary},
        {1023, 2, Values::awkward},    {1024, 1, Values::ordinary},      {1025, 0, Values::ordinary},
        {4097, 9, Values::ordinary},   {3000, 1, Values::negativeZeros}, {70001, 0, Values::awkward},
        {70001, 5, Values::ordinary},  {300000, 0, Values::ordinary},    {300000, 0, Values::awkward},
        {200000, 40, Values::awkward}, {5000, 0, Values::negativeZeros}};
    std::mt19937 random(12);
    for (const Case& c : cases) {
        const int blocks = c.blocks > 0 ? c.blocks : reduceBlocks(int(c.count));
        // Input, a gap, the partial sums and a margin.
        const size_t output = c.count + 64;
        std::vector<float> array = randomBytes(output + blocks + 64, random);
        place(array, 0, valuesOf(c.values, c.count, random));
        expectSameArray(
            array, [&](float* a) { launchReduce(a, a + output, c.count, blocks); },
            std::to_string(c.count) + " values, " + std::to_string(blocks) + " blocks");
    }
}

// A pass in place: one block reads everything before it writes; several blocks would race, and the
// fast path leaves those to the simulation.
TEST_F(FastPathTest, ReductionPassesInPlaceAreTheKernels) {
    const std::pair<unsigned, int> passes[] = {{1, 1}, {2, 1}, {64, 1}, {1024, 1}, {9000, 1}};
    std::mt19937 random(13);
    for (const auto [count, blocks] : passes) {
        std::vector<float> array = randomBytes(count + 64, random);
        place(array, 0, valuesOf(Values::ordinary, count, random));
        expectSameArray(
            array, [&](float* a) { launchReduce(a, a, count, blocks); },
            std::to_string(count) + " values in place, " + std::to_string(blocks) + " blocks");
    }
    // Several blocks in place race, and only the simulation's block order defines the result: the fast
    // path leaves such a pass to the simulation.
    DeviceArray<float> array(valuesOf(Values::ordinary, 3000, random));
    const uint64_t fastLaunches = hostFastPathLaunches();
    launchReduce(array.get(), array.get(), 3000, 3);
    EXPECT_EQ(hostFastPathLaunches(), fastLaunches);
}

TEST_F(FastPathTest, DensityLevelsAreTheKernels) {
    std::mt19937 random(14);
    for (const auto [n, values] : {std::pair{32, Values::awkward}, std::pair{64, Values::ordinary},
                                   std::pair{96, Values::awkward}}) {
        const size_t fine = cube(2 * n);
        // The fine level, the coarse level and a margin.
        std::vector<float> array = randomBytes(fine + cube(n) + 1000, random);
        place(array, 0, valuesOf(values, fine, random));
        expectSameArray(
            array,
            [&](float* a) { LAUNCH_KERNEL(kernelCalcDensity, voxelGrid(n), voxelBlock(), 0, a, a + fine, n); },
            "edge " + std::to_string(n));
    }
}

// The whole evaluation, whose passes alternate between the energy buffer and the scratch labelling
// and end with a single block in place.
TEST_F(FastPathTest, EvaluatedEnergiesAreTheSimulatedOnes) {
    std::mt19937 random(15);
    for (int n : {64, 128}) {
        allocateBuffers(n);
        levelIndex = 0;
        currentSites = voronoiBuffers[0];
        scratchSites = voronoiBuffers[1];
        uploadVolume(currentSites, latticeLabelling(randomLattice(n, {4, 3, 5}, random), n));
        uploadVolume(densityLevels[0], valuesOf(Values::ordinary, cube(n), random));
        float energies[2], readbacks[2];
        for (bool fast : {false, true}) {
            setFastPathsEnabled(fast);
            energies[fast] = evaluateEnergy();
            readbacks[fast] = energyReadback;
        }
        releaseBuffers();
        EXPECT_EQ(std::memcmp(energies, energies + 1, sizeof(float)), 0) << n;
        EXPECT_EQ(std::memcmp(readbacks, readbacks + 1, sizeof(float)), 0) << n;
    }
}

}  // namespace
CVT_END_NAMESPACE
