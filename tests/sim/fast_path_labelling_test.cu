// The labelling passes' fast paths against their simulated kernels, with 32-bit and with 64-bit codes:
// every pass of a labelling of site volumes and raw values, and the construction and query passes on
// random candidates. Each pass runs both ways from the same input into a destination of random bytes,
// and both must leave the same bytes everywhere.
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/axis_spacing.h"
#include "host/launch_shapes.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int n) { return size_t(n) * n * n; }

// A cube of edge n with codes of type Code: the standard layout, 32-bit or wide.
GridShape cubeOf(int n, bool wide) { return fullGrid(n, n, n, wide ? CodeWidth::wide : CodeWidth::fitting); }

template <class Code = int>
std::vector<Code> randomValues(size_t count, std::mt19937& random) {
    std::vector<Code> values(count);
    for (Code& v : values) v = Code((uint64_t(random()) << 32) | random());
    return values;
}

// Runs Kernel both ways from `input` (the grid's values) into as many values and 1000 more, all random,
// expects the same bytes, and returns the simulated results. `weights` follow g for the passes that
// take them.
template <auto Kernel, class Code, class... Weights>
std::vector<Code> expectSamePass(const std::vector<Code>& input, const GridShape& g, dim3 grid, dim3 block,
                                 std::mt19937& random, Weights... weights) {
    const size_t voxels = size_t(g.voxels());
    std::vector<Code> initial(input);
    const std::vector<Code> destination = randomValues<Code>(voxels + 1000, random);
    initial.insert(initial.end(), destination.begin(), destination.end());
    const auto [simulated, fast] = bothWays(initial, [&](Code* data) {
        LAUNCH_KERNEL(Kernel, grid, block, 0, data, data + voxels, g, weights...);
    });
    EXPECT_EQ(std::memcmp(simulated.data(), fast.data(), initial.size() * sizeof(Code)), 0) << "the fast path differs";
    return std::vector<Code>(simulated.begin() + ptrdiff_t(voxels), simulated.begin() + ptrdiff_t(2 * voxels));
}

// The construction pass over `candidates` and the query pass over its chains, both ways.
template <class Code>
std::vector<Code> expectSameChainsAndLabels(const std::vector<Code>& candidates, const GridShape& g,
                                            std::mt19937& random, LineWeights weights = {}) {
    const std::vector<Code> chains =
        expectSamePass<kernelMaurerAxis<Code>>(candidates, g, lineGrid(g), lineBlock(), random, weights);
    return expectSamePass<kernelColorAxis<Code>>(chains, g, queryGrid(g), queryBlock(), random, weights);
}

// The flood and both rounds, both ways; returns the labels.
template <class Code>
std::vector<Code> expectSameLabelling(const std::vector<Code>& sites, const GridShape& g, std::mt19937& random,
                                      LineWeights weights = {}) {
    std::vector<Code> labels = expectSamePass<kernelFloodZ<Code>>(sites, g, lineGrid(g), lineBlock(), random);
    labels = expectSameChainsAndLabels(labels, g, random, weights);
    return expectSameChainsAndLabels(labels, g.exchanged(), random, LineWeights{weights.row, weights.first, weights.third});
}

// 32-bit codes as 64-bit ones: the same fields, and "no site" still negative.
std::vector<int64_t> widened(const std::vector<int>& codes) { return std::vector<int64_t>(codes.begin(), codes.end()); }

// A labelling of 32-bit codes as the same labelling of 64-bit ones would be.
std::vector<int64_t> widenedLabels(const std::vector<int>& labels) {
    std::vector<int64_t> wide(labels.size());
    for (size_t v = 0; v < labels.size(); ++v) wide[v] = labels[v] >= 0 ? labels[v] : emptySite<int64_t>;
    return wide;
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
    bool sites = true;  // false: raw values, which hold codes nowhere
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
    {"raw values", {32, 96}, [](int n, std::mt19937& random) { return randomValues(cube(n), random); }, false},
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

// Every pass with 32-bit and with 64-bit codes, each fast path against its kernel; the two widths give
// the same sites everywhere. Raw values as 64-bit codes have random bits above the fields as well.
void expectSameLabellingsOfEveryVolume(int seed, bool weighted) {
    std::mt19937 random(seed);
    for (const Volume& volume : volumes)
        for (const LineWeights& w : weighted ? std::vector<LineWeights>(std::begin(lineWeights), std::end(lineWeights))
                                             : std::vector<LineWeights>{{}})
            for (int n : weighted ? std::vector<int>{volume.edges.front()} : volume.edges) {
                SCOPED_TRACE(std::string(volume.what) + " at edge " + std::to_string(n) + ", weights " +
                             std::to_string(w.first) + " " + std::to_string(w.row) + " " + std::to_string(w.third));
                const std::vector<int> input = volume.make(n, random);
                const std::vector<int> narrow = expectSameLabelling(input, cubeOf(n, false), random, w);
                const std::vector<int64_t> wide = expectSameLabelling(
                    volume.sites ? widened(input) : randomValues<int64_t>(cube(n), random), cubeOf(n, true), random, w);
                if (volume.sites) EXPECT_TRUE(wide == widenedLabels(narrow)) << "the widths label differently";
            }
}

TEST_F(FastPathTest, EveryPassOfALabelling) { expectSameLabellingsOfEveryVolume(7, false); }

TEST_F(FastPathTest, EveryPassOfAWeightedLabelling) { expectSameLabellingsOfEveryVolume(9, true); }

// Narrow field ranges put many candidates at equal distances, wide ones at the largest distances. With
// `repeats`, a row of a line mostly holds the candidate that the same row of the line before holds (as
// in the second round, where the construction guesses from the line before): the same candidates, the
// same candidates with a few others, and different ones. 64-bit codes also take fields of 14 bits, the
// most a grid has, with the largest weights such a grid takes.
template <class Code>
void expectSameChainsOnRandomCandidates(const GridShape& g, int largestField, const std::vector<LineWeights>& weights,
                                        std::mt19937& random) {
    for (int fieldRange : {4, g.x, largestField})
        for (double density : {0.05, 0.5, 1.0})
            for (double repeats : {0.0, 0.97, 1.0}) {
                SCOPED_TRACE("edge " + std::to_string(g.x) + ", " + std::to_string(8 * sizeof(Code)) +
                             "-bit codes, fields below " + std::to_string(fieldRange) + ", density " +
                             std::to_string(density) + ", repeats " + std::to_string(repeats));
                std::uniform_int_distribution<int> field(0, fieldRange - 1);
                std::vector<Code> candidates(size_t(g.voxels()));
                for (size_t v = 0; v < candidates.size(); ++v)
                    candidates[v] = v % g.x != 0 && std::bernoulli_distribution(repeats)(random)
                                        ? candidates[v - 1]
                                    : std::bernoulli_distribution(density)(random)
                                        ? g.codes.encode<Code>(field(random), 0, field(random))
                                        : Code(randomValues<Code>(1, random)[0] | std::numeric_limits<Code>::min());
                for (const LineWeights& w : weights) expectSameChainsAndLabels(candidates, g, random, w);
            }
}

TEST_F(FastPathTest, ConstructionAndQueryOnRandomCandidates) {
    std::mt19937 random(8);
    const std::vector<LineWeights> weights(std::begin(lineWeights), std::end(lineWeights));
    const int64_t largest = largestLabellingWeight(maxGridSide);
    const std::vector<LineWeights> widest{{1, 1, 1}, {largest, 3, largest}, {largest, largest, largest}, {1, largest, 1}};
    for (int n : {32, 64}) {
        expectSameChainsOnRandomCandidates<int>(cubeOf(n, false), 1024, weights, random);
        expectSameChainsOnRandomCandidates<int64_t>(cubeOf(n, true), 1024, weights, random);
        const int bits = fieldBitsFor(maxGridSide);
        expectSameChainsOnRandomCandidates<int64_t>(GridShape(n, n, n, SiteLayout{bits, bits, bits, true}),
                                                    maxGridSide, widest, random);
    }
}

// A launch over part of the lines is left to the simulation: the fast paths take only the whole grid.
TEST_F(FastPathTest, LabellingPassesOverPartOfTheLinesAreSimulated) {
    const int n = 64;
    DeviceArray<int> source(std::vector<int>(cube(n), EMPTY_SITE)), destination(cube(n));
    const uint64_t fastLaunches = hostFastPathLaunches();
    LAUNCH_KERNEL(kernelFloodZ<int>, dim3(1, 2), lineBlock(), 0, source.get(), destination.get(), n);
    LAUNCH_KERNEL(kernelMaurerAxis<int>, dim3(1, 2), lineBlock(), 0, source.get(), destination.get(), n, LineWeights{});
    LAUNCH_KERNEL(kernelColorAxis<int>, dim3(1, 4), queryBlock(), 0, destination.get(), source.get(), n,
                  LineWeights{});
    EXPECT_EQ(hostFastPathLaunches(), fastLaunches);
}

}  // namespace
CVT_END_NAMESPACE
