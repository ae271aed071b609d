// Blocks in shuffled orders, as a GPU may run them: every block of a launch runs exactly once in any
// order the simulation picks, and the centroid step with fixed-point sums gives the same bits in every
// block order and on any number of host threads.
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "centroid/centroid.h"
#include "host/launch_shapes.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

// Leaves the block order linear and the host thread count as it found it; kernels run simulated.
class BlockOrderTest : public FastPathTest {
protected:
    void SetUp() override {
        FastPathTest::SetUp();
        setFastPathsEnabled(false);
    }
    void TearDown() override {
        setBlockOrderSeed(0);
        omp_set_num_threads(threadsBefore_);
        FastPathTest::TearDown();
    }

private:
    int threadsBefore_ = omp_get_max_threads();
};

// The turn in which each block's first thread ran.
__global__ void kernelRecordTurn(int* turnOf, int* turns) {
    if (threadIdx.x != 0 || threadIdx.y != 0) return;
    turnOf[(blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x] = atomicAdd(turns, 1);
}

TEST_F(BlockOrderTest, EveryBlockRunsOnceInTheOrderTheSeedPicks) {
    for (const dim3 grid : {dim3(1), dim3(2), dim3(5), dim3(7, 3, 2), dim3(64, 16, 4), dim3(1000)})
        for (const uint64_t seed : {0, 1, 2, 99})
            for (const int threads : {1, 2}) {
                SCOPED_TRACE(testing::Message() << grid.x << "x" << grid.y << "x" << grid.z << " blocks, seed "
                                                << seed << ", " << threads << " host threads");
                omp_set_num_threads(threads);
                setBlockOrderSeed(seed);
                const int count = int(grid.x * grid.y * grid.z);
                DeviceArray<int> turnOf(std::vector<int>(count, -1)), turns(std::vector<int>{0});
                LAUNCH_KERNEL(kernelRecordTurn, grid, dim3(32, 2, 1), 0, turnOf.get(), turns.get());
                const std::vector<int> recorded = turnOf.download();
                std::vector<int> linear(count), sorted = recorded;
                std::iota(linear.begin(), linear.end(), 0);
                std::sort(sorted.begin(), sorted.end());
                EXPECT_EQ(sorted, linear) << "not every block ran exactly once";
                if (threads == 1 && count > 1) EXPECT_EQ(recorded == linear, seed == 0);
            }
}

size_t cube(int n) { return size_t(n) * n * n; }

// Everything the centroid step leaves: the four moment volumes with the region sums, and the sites.
struct StepResult {
    std::vector<FixedMoment> moments;
    std::vector<int> sites;
};

StepResult fixedPointStep(const std::vector<int>& labelling, const std::vector<float>& densityValues, int n) {
    DeviceArray<float> density(densityValues);
    DeviceArray<int> labels(labelling), rowSiteMap(cube(n)), sites(std::vector<int>(cube(n), EMPTY_SITE));
    DeviceArray<FixedMoment> all(4 * cube(n));
    const MomentVolumes<FixedMoment> volumes{all.get(), all.get() + cube(n), all.get() + 2 * cube(n),
                                             all.get() + 3 * cube(n)};
    launchCalcProduct(density.get(), volumes, n);
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(n), rowBlock(), sizeof(int) * n, labels.get(), rowSiteMap.get(), n);
    launchTotalX(labels.get(), volumes, n);
    launchTotalYZ(rowSiteMap.get(), volumes, n);
    launchUpdateCentroid(labels.get(), sites.get(), volumes, 1.7f, cubeBox(n), n);
    return {all.download(), sites.download()};
}

TEST_F(BlockOrderTest, FixedPointCentroidStepIsTheSameInEveryBlockOrder) {
    std::mt19937 random(11);
    struct Case {
        int n;
        std::vector<int> labelling;
    };
    std::vector<Site> scattered;
    std::uniform_int_distribution<int> coordinate(0, 63);
    for (int s = 0; s < 50; ++s) scattered.push_back({coordinate(random), coordinate(random), coordinate(random)});
    const std::vector<Case> cases = {{64, bruteForceLabelling(scattered, 64)},
                                     {32, latticeLabelling(randomLattice(32, {5, 7, 3}, random), 32)}};
    for (const Case& c : cases) {
        std::vector<float> density(cube(c.n));
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        for (float& rho : density) rho = unit(random);
        omp_set_num_threads(1);
        setBlockOrderSeed(0);
        const StepResult linear = fixedPointStep(c.labelling, density, c.n);
        for (const uint64_t seed : {0, 5, 77})
            for (const int threads : {1, 2}) {
                SCOPED_TRACE(testing::Message() << c.n << "-grid, seed " << seed << ", " << threads << " host threads");
                omp_set_num_threads(threads);
                setBlockOrderSeed(seed);
                const StepResult shuffled = fixedPointStep(c.labelling, density, c.n);
                EXPECT_EQ(shuffled.moments, linear.moments);
                EXPECT_EQ(shuffled.sites, linear.sites);
            }
    }
}

}  // namespace
CVT_END_NAMESPACE
