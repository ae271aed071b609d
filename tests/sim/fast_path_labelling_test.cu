// The labelling passes' fast paths against their simulated kernels: every pass of a labelling of site
// volumes and raw values, and the construction and query passes on random candidates. Each pass runs
// both ways from the same input into a destination of random bytes, and both must leave the same bytes
// everywhere.
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "host/launch_shapes.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int n) { return size_t(n) * n * n; }

std::vector<int> randomValues(size_t count, std::mt19937& random) {
    std::vector<int> values(count);
    for (int& v : values) v = int(random());
    return values;
}

// Runs Kernel both ways from `input` (n^3 values) into n^3 + 1000 random values, expects the same
// bytes, and returns the simulated n^3 results. `weights` follow n for the passes that take them.
template <auto Kernel, class... Weights>
std::vector<int> expectSamePass(const std::vector<int>& input, int n, dim3 grid, dim3 block, std::mt19937& random,
                                Weights... weights) {
    std::vector<int> initial(input);
    const std::vector<int> destination = randomValues(cube(n) + 1000, random);
    initial.insert(initial.end(), destination.begin(), destination.end());
    const auto [simulated, fast] = bothWays(initial, [&](int* data) {
        LAUNCH_KERNEL(Kernel, grid, block, 0, data, data + cube(n), n, weights...);
    });
    EXPECT_EQ(std::memcmp(simulated.data(), fast.data(), initial.size() * sizeof(int)), 0) << "the fast path differs";
    return std::vector<int>(simulated.begin() + cube(n), simulated.begin() + 2 * cube(n));
}

// The construction pass over `candidates` and the query pass over its chains, both ways.
std::vector<int> expectSameChainsAndLabels(const std::vector<int>& candidates, int n, std::mt19937& random,
                                           LineWeights weights = {}) {
    const std::vector<int> chains =
        expectSamePass<kernelMaurerAxis>(candidates, n, lineGrid(n), lineBlock(), random, weights);
    return expectSamePass<kernelColorAxis>(chains, n, queryGrid(n), queryBlock(), random, weights);
}

// Weights of cubic voxels, of decimal spacings (0.7 x 0.7 x 2.5, 0.8 x 0.8 x 2), of extreme ratios and
// the largest weights, each in both rounds' frames.
const LineWeights lineWeights[] = {{1, 1, 1},   {49, 49, 625},         {16, 16, 100},     {1, 400, 1},
                                   {400, 1, 1}, {1, 1, int64_t{1} << 20}, {int64_t{1} << 30, 3, 1 << 30},
                                   {1 << 30, 1 << 30, 1024}};

struct Volume {
    const char* what;
    std::vector<int> edges;
    std::function<std::vector<int>(int n, std::mt19937&)> make;
};

std::vector<int> randomSites(int n, int count, int step, int spread, std::mt19937& random) {
    std::uniform_int_distribution<int> corner(0, (n - spread) / step), offset(0, (spread - 1) / step);
    const int cx = corner(random), cy = corner(random), cz = corner(random);
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s)
        sites.push_back({(cx + offset(random)) * step, (cy + offset(random)) * step, (cz + offset(random)) * step});
    return siteVolume(sites, n);
}

const Volume volumes[] = {
    {"no site", {32, 64}, [](int n, std::mt19937&) { return std::vector<int>(cube(n), EMPTY_SITE); }},
    {"raw values", {32, 96}, [](int n, std::mt19937& random) { return randomValues(cube(n), random); }},
    {"a single site", {32, 64}, [](int n, std::mt19937& random) { return randomSites(n, 1, 1, n, random); }},
    {"sparse sites", {32}, [](int n, std::mt19937& random) { return randomSites(n, 40, 1, n, random); }},
    {"sites a step of 8 apart", {32, 64},
     [](int n, std::mt19937& random) { return randomSites(n, 30, 8, n, random); }},
    {"clustered sites", {32}, [](int n, std::mt19937& random) { return randomSites(n, 30, 1, 5, random); }},
    {"a solid block of sites", {32, 64},
     [](int n, std::mt19937& random) { return randomSites(n, 2000, 1, 12, random); }},
    {"the benchmark's density", {32, 64},
     [](int n, std::mt19937& random) { return randomSites(n, int(cube(n) * 10000 / cube(256)) + 1, 1, n, random); }},
    {"an even lattice", {32, 64},
     [](int n, std::mt19937&) { return siteVolume(latticeSites(evenLattice(n, {3, 4, 5})), n); }},
    {"a random lattice", {32},
     [](int n, std::mt19937& random) { return siteVolume(latticeSites(randomLattice(n, {5, 2, 7}, random)), n); }},
};

TEST_F(FastPathTest, EveryPassOfALabelling) {
    std::mt19937 random(7);
    for (const Volume& volume : volumes)
        for (int n : volume.edges) {
            SCOPED_TRACE(std::string(volume.what) + " at edge " + std::to_string(n));
            std::vector<int> labels =
                expectSamePass<kernelFloodZ>(volume.make(n, random), n, lineGrid(n), lineBlock(), random);
            for (int round = 0; round < 2; ++round) labels = expectSameChainsAndLabels(labels, n, random);
        }
}

TEST_F(FastPathTest, EveryPassOfAWeightedLabelling) {
    std::mt19937 random(9);
    for (const Volume& volume : volumes)
        for (const LineWeights& w : lineWeights) {
            const int n = volume.edges.front();
            SCOPED_TRACE(std::string(volume.what) + ", weights " + std::to_string(w.first) + " " +
                         std::to_string(w.row) + " " + std::to_string(w.third));
            std::vector<int> labels =
                expectSamePass<kernelFloodZ>(volume.make(n, random), n, lineGrid(n), lineBlock(), random);
            labels = expectSameChainsAndLabels(labels, n, random, w);
            expectSameChainsAndLabels(labels, n, random, LineWeights{w.row, w.first, w.third});
        }
}

// Narrow field ranges put many candidates at equal distances, wide ones at the largest distances. With
// `repeats`, a row of a line mostly holds the candidate that the same row of the line before holds (as
// in the second round, where the construction guesses from the line before): the same candidates, the
// same candidates with a few others, and different ones.
TEST_F(FastPathTest, ConstructionAndQueryOnRandomCandidates) {
    std::mt19937 random(8);
    for (int n : {32, 64})
        for (int fieldRange : {4, n, 1024})
            for (double density : {0.05, 0.5, 1.0})
                for (double repeats : {0.0, 0.97, 1.0}) {
                    SCOPED_TRACE("edge " + std::to_string(n) + ", fields below " + std::to_string(fieldRange) +
                                 ", density " + std::to_string(density) + ", repeats " + std::to_string(repeats));
                    std::uniform_int_distribution<int> field(0, fieldRange - 1);
                    std::vector<int> candidates(cube(n));
                    for (size_t v = 0; v < candidates.size(); ++v)
                        candidates[v] = v % n != 0 && std::bernoulli_distribution(repeats)(random)
                                            ? candidates[v - 1]
                                        : std::bernoulli_distribution(density)(random)
                                            ? encodeSite(field(random), 0, field(random))
                                            : int(random() | 0x80000000u);
                    for (const LineWeights& w : lineWeights) expectSameChainsAndLabels(candidates, n, random, w);
                }
}

// A launch over part of the lines is left to the simulation: the fast paths take only the whole grid.
TEST_F(FastPathTest, LabellingPassesOverPartOfTheLinesAreSimulated) {
    const int n = 64;
    DeviceArray<int> source(std::vector<int>(cube(n), EMPTY_SITE)), destination(cube(n));
    const uint64_t fastLaunches = hostFastPathLaunches();
    LAUNCH_KERNEL(kernelFloodZ, dim3(1, 2), lineBlock(), 0, source.get(), destination.get(), n);
    LAUNCH_KERNEL(kernelMaurerAxis, dim3(1, 2), lineBlock(), 0, source.get(), destination.get(), n, LineWeights{});
    LAUNCH_KERNEL(kernelColorAxis, dim3(1, 4), queryBlock(), 0, destination.get(), source.get(), n, LineWeights{});
    EXPECT_EQ(hostFastPathLaunches(), fastLaunches);
}

}  // namespace
CVT_END_NAMESPACE
