// The centroid step's fast paths against their kernels: the moments, the row site map, the row and
// column gathers and the site update, with both accumulators, on exact and inexact labellings of
// awkward edges, every byte compared.
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "centroid/centroid.h"
#include "host/launch_shapes.h"
#include "fast_path_comparison.h"
#include "host/grid_shape.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

using FastPathCentroidTest = FastPathTest;

size_t cube(int n) { return size_t(n) * n * n; }

// Elements after the four moment volumes or a site volume, which no launch may touch.
constexpr size_t tail = 1024;

// The four moment volumes of the n-grid, one after another in one array.
template <class Moment>
MomentVolumes<Moment> volumesIn(Moment* all, int n) {
    return {all, all + cube(n), all + 2 * cube(n), all + 3 * cube(n)};
}

template <class T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

template <class T>
std::vector<T> randomBits(size_t count, std::mt19937& random) {
    static_assert(sizeof(T) % sizeof(uint32_t) == 0);
    std::vector<T> values(count);
    for (size_t word = 0; word < count * sizeof(T) / sizeof(uint32_t); ++word) {
        const uint32_t bits = random();
        std::memcpy(reinterpret_cast<char*>(values.data()) + word * sizeof bits, &bits, sizeof bits);
    }
    return values;
}

// Moments of any bits but NaNs, which become infinities: of two NaNs, a float addition passes on the
// one that the compiler happens to put first, in the kernel and the fast path alike. (NaNs still arise,
// from infinities of both signs, all with the same bits.)
template <class Moment>
std::vector<Moment> randomMoments(size_t count, std::mt19937& random) {
    std::vector<Moment> values = randomBits<Moment>(count, random);
    if constexpr (std::is_same_v<Moment, float>)
        for (float& v : values)
            if (std::isnan(v)) v = std::copysign(std::numeric_limits<float>::infinity(), v);
    return values;
}

// A labelling of the n-grid. orderFree: no site voxel is also the row anchor of another site, so the
// column gather's sums are the same in every order of its additions (every labelling of nearest sites).
struct Labelling {
    std::string name;
    int n;
    std::vector<int> labels;
    bool orderFree;
};

// `count` sites with every coordinate a multiple of `step` (coarse steps make ties), all within a cube
// of edge `spread` at a random place.
std::vector<Site> randomSites(int n, int count, int step, int spread, std::mt19937& random) {
    std::uniform_int_distribution<int> corner(0, n - spread), offset(0, (spread - 1) / step);
    const int cx = corner(random), cy = corner(random), cz = corner(random);
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s)
        sites.push_back({cx + offset(random) * step, cy + offset(random) * step, cz + offset(random) * step});
    return sites;
}

// Every voxel labelled by a random one of `sites`: rows with several sites of one x, and sites that
// label neither their own voxel nor their row anchors.
std::vector<int> scrambledLabelling(const std::vector<Site>& sites, int n, std::mt19937& random) {
    std::vector<int> labels(cube(n));
    for (int& label : labels) {
        const Site& s = sites[random() % sites.size()];
        label = encodeSite(s.x, s.y, s.z);
    }
    return labels;
}

// Any value whose three fields lie in the grid, whatever bits 30 and 31 hold: negative ones too, which
// the gathers still follow. One voxel in eight holds its own fields, which makes it a site voxel unless
// bit 31 is set.
std::vector<int> arbitraryLabelling(int n, std::mt19937& random) {
    std::vector<int> labels(cube(n));
    for (size_t i = 0; i < labels.size(); ++i) {
        const auto field = [&] { return int(random() % unsigned(n)); };
        const int own = encodeSite(int(i % n), int(i / n % n), int(i / n / n));
        labels[i] = int(random() & 0xC0000000u) | (random() % 8 == 0 ? own : encodeSite(field(), field(), field()));
    }
    return labels;
}

std::vector<int> withEmptyVoxels(std::vector<int> labels, std::mt19937& random) {
    for (int& label : labels)
        if (random() % 10 == 0) label = EMPTY_SITE;
    return labels;
}

const std::vector<Labelling>& labellings() {
    static const std::vector<Labelling> all = [] {
        std::mt19937 random(2024);
        return std::vector<Labelling>{
            {"no site", 32, std::vector<int>(cube(32), EMPTY_SITE), true},
            {"one site", 32, std::vector<int>(cube(32), encodeSite(31, 0, 21)), true},
            {"scattered sites", 64, bruteForceLabelling(randomSites(64, 40, 1, 64, random), 64), true},
            {"sites with ties", 32, bruteForceLabelling(randomSites(32, 30, 8, 32, random), 32), true},
            {"clustered sites", 32, bruteForceLabelling(randomSites(32, 25, 1, 6, random), 32), true},
            {"random lattice", 32, latticeLabelling(randomLattice(32, {7, 5, 9}, random), 32), true},
            {"even lattice", 96, latticeLabelling(evenLattice(96, {6, 5, 4}), 96), true},
            {"empty voxels", 32, withEmptyVoxels(bruteForceLabelling(randomSites(32, 20, 1, 32, random), 32), random), true},
            {"scrambled sites", 64, scrambledLabelling(randomSites(64, 12, 1, 64, random), 64, random), false},
            {"arbitrary values", 64, arbitraryLabelling(64, random), false},
        };
    }();
    return all;
}

template <class Moment>
const char* nameOf() {
    return std::is_same_v<Moment, float> ? "float" : "fixed point";
}

// The simulation runs a launch on as many host threads as OpenMP offers; on one, its order is fixed.
class OneHostThread {
public:
    OneHostThread() { omp_set_num_threads(1); }
    ~OneHostThread() { omp_set_num_threads(before_); }

private:
    int before_ = omp_get_max_threads();
};

// Whether the fast path of Kernel handles a launch of this shape with these arguments (and runs it).
template <auto Kernel, class... Args>
bool fastPathTakes(dim3 grid, dim3 block, Args... args) {
    const detail::KernelArguments<Kernel> arguments{args...};
    return detail::hostFastPathOf<Kernel> != nullptr && detail::hostFastPathOf<Kernel>(grid, block, &arguments);
}

// Each fast path takes the launches of the step, or the comparisons below would compare the kernel
// with itself, and declines a launch of another shape, which it would compute wrongly.
template <class Moment>
void expectFastPathsTakeTheStepsShapes() {
    SCOPED_TRACE(nameOf<Moment>());
    constexpr int n = 64, half = n / 2;
    DeviceArray<float> density(std::vector<float>(cube(n), 0.5f));
    DeviceArray<int> labels(std::vector<int>(cube(n), encodeSite(1, 2, 3))), sites(cube(n));
    DeviceArray<Moment> all(std::vector<Moment>(4 * cube(n), Moment(1)));
    const MomentVolumes<Moment> m = volumesIn(all.get(), n);
    for (const auto& [edge, takes] : {std::pair(n, true), std::pair(half, false)}) {
        const dim3 voxels = voxelGrid(edge), rows = rowGrid(edge), voxel = voxelBlock(), row = rowBlock();
        EXPECT_EQ(fastPathTakes<kernelCalcProduct<Moment>>(voxels, voxel, density.get(), m.x, m.y, m.z, m.mass, n), takes);
        EXPECT_EQ(fastPathTakes<kernel2DVoronoi>(rows, row, labels.get(), sites.get(), n), takes);
        EXPECT_EQ(fastPathTakes<kernelTotalX<Moment>>(rows, row, labels.get(), m.x, m.y, m.z, m.mass, n), takes);
        EXPECT_EQ(fastPathTakes<kernelTotalYZ<Moment>>(voxels, voxel, sites.get(), m.x, m.y, m.z, m.mass, n), takes);
        EXPECT_EQ(fastPathTakes<kernelUpdateCentroid<Moment>>(voxels, voxel, labels.get(), sites.get(), m.x, m.y, m.z,
                                                               m.mass, nullptr, nullptr, 1.0f, n, n, n, n),
                  takes);
    }
}

TEST_F(FastPathCentroidTest, FastPathsTakeTheStepsLaunchShapesOnly) {
    expectFastPathsTakeTheStepsShapes<float>();
    expectFastPathsTakeTheStepsShapes<FixedMoment>();
}

// Densities for the fixed point: in [0, 1], as it requires, with 0, -0, 1, denormals, values whose
// products fall halfway between two steps and plain ones; and in some rows one above 1, which it
// converts all the same.
std::vector<float> fixedPointDensity(int n, std::mt19937& random) {
    std::vector<float> density(cube(n));
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (float& rho : density) {
        switch (random() % 6) {
            case 0: rho = float(random() % 2); break;
            case 1: rho = -0.0f; break;
            case 2: rho = std::ldexp(float(random() % (1 << 23)), -149); break;
            case 3: rho = std::ldexp(float(random() % (1 << 24)), -25); break;
            default: rho = random() % 1000 == 0 ? 1.5f : unit(random);
        }
    }
    return density;
}

template <class Moment>
void expectSameMoments(const std::vector<float>& density, int n, std::mt19937& random) {
    SCOPED_TRACE(nameOf<Moment>());
    DeviceArray<float> rho(density);
    const auto [simulated, fast] = bothWays(randomBits<Moment>(4 * cube(n) + tail, random), [&](Moment* all) {
        launchCalcProduct(rho.get(), volumesIn(all, n), n);
    });
    EXPECT_TRUE(sameBytes(simulated, fast));
}

TEST_F(FastPathCentroidTest, MomentsMatchTheirKernel) {
    std::mt19937 random(1);
    for (int n : {32, 96}) {
        SCOPED_TRACE(n);
        const std::vector<float> density = fixedPointDensity(n, random);
        expectSameMoments<float>(density, n, random);
        expectSameMoments<FixedMoment>(density, n, random);
    }
    // Float products of any density: NaN, infinities, negative and huge values.
    expectSameMoments<float>(randomBits<float>(cube(64), random), 64, random);
}

TEST_F(FastPathCentroidTest, RowSiteMapMatchesItsKernel) {
    std::mt19937 random(6);
    // The other tests keep to smaller edges, as their moment volumes are four times as large.
    std::vector<Labelling> cases = labellings();
    cases.push_back({"even lattice", 160, latticeLabelling(evenLattice(160, {6, 5, 4}), 160), true});
    for (const Labelling& l : cases) {
        SCOPED_TRACE(l.name);
        DeviceArray<int> labels(l.labels);
        const auto [simulated, fast] = bothWays(randomBits<int>(cube(l.n) + tail, random), [&](int* map) {
            LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(l.n), rowBlock(), sizeof(int) * l.n, labels.get(), map, l.n);
        });
        EXPECT_TRUE(sameBytes(simulated, fast));
    }
}

template <class Moment>
void expectSameRowGather(const Labelling& l, std::mt19937& random) {
    SCOPED_TRACE(nameOf<Moment>());
    DeviceArray<int> labels(l.labels);
    const auto [simulated, fast] = bothWays(randomMoments<Moment>(4 * cube(l.n) + tail, random), [&](Moment* all) {
        launchTotalX(labels.get(), volumesIn(all, l.n), l.n);
    });
    EXPECT_TRUE(sameBytes(simulated, fast));
}

TEST_F(FastPathCentroidTest, RowGatherMatchesItsKernel) {
    std::mt19937 random(2);
    for (const Labelling& l : labellings()) {
        SCOPED_TRACE(l.name);
        expectSameRowGather<float>(l, random);
        expectSameRowGather<FixedMoment>(l, random);
    }
}

std::vector<int> rowSiteMapOf(const Labelling& l) {
    DeviceArray<int> labels(l.labels), map(cube(l.n));
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(l.n), rowBlock(), sizeof(int) * l.n, labels.get(), map.get(), l.n);
    return map.download();
}

// Both ways from the same moments: the simulated and the fast column gather.
template <class Moment>
std::pair<std::vector<Moment>, std::vector<Moment>> columnGathers(const std::vector<int>& map, int n,
                                                                    const std::vector<Moment>& moments) {
    DeviceArray<int> rowSiteMap(map);
    return bothWays(moments, [&](Moment* all) { launchTotalYZ(rowSiteMap.get(), volumesIn(all, n), n); });
}

template <class Moment>
void expectSameColumnGather(const std::vector<int>& map, int n, std::mt19937& random) {
    SCOPED_TRACE(nameOf<Moment>());
    const auto [simulated, fast] = columnGathers(map, n, randomMoments<Moment>(4 * cube(n) + tail, random));
    EXPECT_TRUE(sameBytes(simulated, fast));
}

// On one host thread the simulation adds into every voxel in the fast path's order (a row site map
// names sites of the x where it holds them), so even float sums, and sums that a site voxel moves on,
// come out the same.
TEST_F(FastPathCentroidTest, ColumnGatherMatchesItsKernelOnOneHostThread) {
    std::mt19937 random(3);
    const OneHostThread oneHostThread;
    for (const Labelling& l : labellings()) {
        SCOPED_TRACE(l.name);
        const std::vector<int> map = rowSiteMapOf(l);
        expectSameColumnGather<float>(map, l.n, random);
        expectSameColumnGather<FixedMoment>(map, l.n, random);
    }
}

struct RowSiteMap {
    std::string name;
    int n;
    std::vector<int> map;
};

// Any values that the column gather takes, not a map that kernel2DVoronoi makes (its codes name sites
// of any x), where no site voxel moves its sums on: the voxels that codes name are empty themselves.
std::vector<int> arbitraryRowSiteMap(int n, std::mt19937& random) {
    std::vector<int> map = arbitraryLabelling(n, random);
    std::vector<size_t> named;
    for (int code : map)
        if (code >= 0) named.push_back((size_t(siteZ(code)) * n + siteY(code)) * n + siteX(code));
    for (size_t i : named) map[i] = EMPTY_SITE;
    return map;
}

// Row site maps whose column gather comes out the same in every order of its additions.
std::vector<RowSiteMap> orderFreeRowSiteMaps() {
    std::vector<RowSiteMap> maps;
    for (const Labelling& l : labellings())
        if (l.orderFree) maps.push_back({l.name, l.n, rowSiteMapOf(l)});
    std::mt19937 random(7);
    maps.push_back({"arbitrary row site map", 64, arbitraryRowSiteMap(64, random)});
    return maps;
}

// On several host threads, fixed-point sums still come out the same, and float sums of non-negative
// values up to rounding.
TEST_F(FastPathCentroidTest, ColumnGatherMatchesItsKernelInFixedPointAndUpToRoundingInFloat) {
    std::mt19937 random(4);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (const RowSiteMap& m : orderFreeRowSiteMaps()) {
        SCOPED_TRACE(m.name);
        expectSameColumnGather<FixedMoment>(m.map, m.n, random);
        std::vector<float> moments(4 * cube(m.n) + tail);
        for (float& value : moments) value = unit(random);
        const auto [simulated, fast] = columnGathers(m.map, m.n, moments);
        size_t differences = 0;
        for (size_t i = 0; i < fast.size(); ++i)
            differences += !(std::abs(simulated[i] - fast[i]) <= 1e-4f * simulated[i]);
        EXPECT_EQ(differences, 0u);
    }
}

// Sums of regions with a mass (or none) and a centroid anywhere around the grid; fixed-point sums
// are non-negative, so their centroids are too.
template <class Moment>
std::vector<Moment> plausibleSums(int n, std::mt19937& random) {
    constexpr bool fixed = std::is_same_v<Moment, FixedMoment>;
    std::uniform_real_distribution<float> massOf(0.0f, 50.0f), coordinateOf(fixed ? 0.0f : -0.5f * n, 1.5f * n);
    const auto asMoment = [](float sum) { return fixed ? Moment(double(sum) * fixedMomentScale) : Moment(sum); };
    const size_t count = cube(n);
    std::vector<Moment> sums(4 * count + tail);
    for (size_t i = 0; i < count; ++i) {
        const float mass = random() % 8 == 0 ? 0.0f : massOf(random);
        for (int axis = 0; axis < 3; ++axis) sums[axis * count + i] = asMoment(mass * coordinateOf(random));
        sums[3 * count + i] = asMoment(mass);
    }
    return sums;
}

// The moves of the site update: how far towards the centroid, and the box that the sites stay in.
struct Move {
    float omega;
    GridBox limit;
};

std::vector<Move> moves(int n) {
    return {{1.0f, cubeBox(n)},
            {2.0f, {n / 2, n, 3}},
            {-1.5f, {n, n / 4, n}},
            {0.5f, {1, 1, 1}},
            {std::numeric_limits<float>::quiet_NaN(), cubeBox(n)}};
}

// Plausible sums and sums of any bits, each with the move given.
template <class Moment>
void expectSameSiteUpdate(const Labelling& l, const DeviceArray<int>& labels, Move plausible, Move anyBits,
                          std::mt19937& random) {
    SCOPED_TRACE(nameOf<Moment>());
    const int n = l.n;
    // Any bits where the sites go: a launch must leave alone every voxel that no site lands on.
    const std::vector<int> before = randomBits<int>(cube(n) + tail, random);
    for (const auto& [sums, move] : {std::pair(plausibleSums<Moment>(n, random), plausible),
                                     std::pair(randomBits<Moment>(4 * cube(n), random), anyBits)}) {
        SCOPED_TRACE(move.omega);
        const DeviceArray<Moment> moments(sums);
        const auto [simulated, fast] = bothWays(before, [&](int* newSites) {
            launchUpdateCentroid(labels.get(), newSites, volumesIn(moments.get(), n), move.omega, move.limit, n);
        });
        EXPECT_TRUE(sameBytes(simulated, fast));
    }
    // With a mask: every moved site lands where a map of voxels to inside voxels says (half the voxels
    // inside, the others sent to random inside ones), and both ways count the same moves.
    std::vector<int> nearestInside(cube(n), -1);
    std::vector<int> insideVoxels;
    for (int i = 0; i < int(cube(n)); ++i)
        if (random() % 2 || insideVoxels.empty()) insideVoxels.push_back(i);
    for (int i : insideVoxels) nearestInside[i] = encodeSite(i % n, i / n % n, i / (n * n));
    for (int& code : nearestInside)
        if (code < 0) {
            const int i = insideVoxels[random() % insideVoxels.size()];
            code = encodeSite(i % n, i / n % n, i / (n * n));
        }
    const DeviceArray<int> map(nearestInside);
    const DeviceArray<Moment> moments(plausibleSums<Moment>(n, random));
    std::vector<unsigned> counts;
    const auto [simulated, fast] = bothWays(before, [&](int* newSites) {
        DeviceArray<unsigned> moves(std::vector<unsigned>{0});
        launchUpdateCentroid(labels.get(), newSites, volumesIn(moments.get(), n), plausible.omega, plausible.limit, n,
                             InsideMap{map.get(), moves.get()});
        counts.push_back(moves.download()[0]);
    });
    EXPECT_TRUE(sameBytes(simulated, fast));
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], counts[1]);
}

// Each labelling with the next moves in turn, so that every move meets several labellings.
TEST_F(FastPathCentroidTest, SiteUpdateMatchesItsKernel) {
    std::mt19937 random(5);
    size_t turn = 0;
    for (const Labelling& l : labellings()) {
        SCOPED_TRACE(l.name);
        const DeviceArray<int> labels(l.labels);
        const std::vector<Move> all = moves(l.n);
        const auto next = [&] { return all[turn++ % all.size()]; };
        expectSameSiteUpdate<float>(l, labels, next(), next(), random);
        expectSameSiteUpdate<FixedMoment>(l, labels, next(), next(), random);
    }
}

}  // namespace
CVT_END_NAMESPACE
