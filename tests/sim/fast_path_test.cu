// Host fast paths against the kernels they stand in for: the same launch simulated thread by thread
// and run by the fast path, from the same inputs, must leave the same bytes everywhere.
#include <cstring>
#include <random>
#include <vector>

#include "device/fast_path.h"
#include "host/launch_shapes.h"
#include "device_test_support.h"
#include "driver/fill.h"
#include "host/site_code.h"
#include "fast_path_comparison.h"

CVT_BEGIN_NAMESPACE
namespace {

// A kernel whose fast path leaves a different mark, so that the test can see which one ran.
__global__ void kernelMark(int* marks, int n) { marks[blockIdx.x * blockDim.x + threadIdx.x] = n; }

bool hostMark(dim3 grid, dim3 block, int* marks, int n) {
    if (grid.x != 2 || block.x != 32) return false;
    std::fill_n(marks, 64, -n);
    return true;
}

CVT_HOST_FAST_PATH(kernelMark, hostMark);

TEST_F(FastPathTest, ALaunchTakesTheFastPathWhenEnabledAndTheShapeIsItsOwn) {
    setFastPathsEnabled(true);
    DeviceArray<int> marks(std::vector<int>(64, 0));
    LAUNCH_KERNEL(kernelMark, dim3(2), dim3(32), 0, marks.get(), 7);
    EXPECT_EQ(marks.download(), std::vector<int>(64, -7));
    setFastPathsEnabled(false);
    LAUNCH_KERNEL(kernelMark, dim3(2), dim3(32), 0, marks.get(), 7);
    EXPECT_EQ(marks.download(), std::vector<int>(64, 7));
    setFastPathsEnabled(true);
    LAUNCH_KERNEL(kernelMark, dim3(4), dim3(16), 0, marks.get(), 9);  // a shape the fast path declines
    EXPECT_EQ(marks.download(), std::vector<int>(64, 9));
    // Launch checks come first: a bad configuration fails whether or not a fast path exists.
    EXPECT_THROW(LAUNCH_KERNEL(kernelMark, dim3(2), dim3(2048), 0, marks.get(), 1), Failure);
}

TEST_F(FastPathTest, FillWritesTheGridAndNothingBeyond) {
    for (int n : {32, 64, 96}) {
        expectSameBytes<int>(size_t(n) * n * n + 1000, [n](int* volume) {
            LAUNCH_KERNEL(kernelFill<SiteCode>, voxelGrid(n), voxelBlock(), 0, volume, EMPTY_SITE, n);
        });
    }
}

}  // namespace
CVT_END_NAMESPACE
