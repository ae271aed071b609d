// Behaviour that only the simulation has: it catches kernels that break CUDA's execution model,
// which a GPU would turn into a hang or silent corruption, and it checks the bounds of copies.
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "device/sim/stack_pool.h"
#include "device_test_support.h"

CVT_BEGIN_NAMESPACE
namespace {

// Lanes 1-31 wait at a warp barrier for lane 0, which waits at the block barrier for them.
__global__ void kernelWarpWaitsForBlockBarrier(int* out) {
    if (threadIdx.x == 0) __syncthreads();
    else if (threadIdx.x < 32) __syncwarp();
    out[threadIdx.x] = 1;
}

// The two halves of the block wait at different block barriers.
__global__ void kernelBarriersAtTwoSites(int* out) {
    if (threadIdx.x < 32) {
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

// Lanes 0 and 1 name each other in their masks, with different masks: neither barrier can complete.
__global__ void kernelMismatchedWarpMasks(int* out) {
    if (threadIdx.x == 0) __syncwarp(0x3);
    if (threadIdx.x == 1) __syncwarp(0x7);
    out[threadIdx.x] = 1;
}

// Every lane passes a mask without itself, from thread 40 on.
__global__ void kernelLaneOutsideItsMask(int* out) {
    if (threadIdx.x >= 40) __syncwarp(1u << (threadIdx.x + 1) % 32);
    out[threadIdx.x] = 1;
}

// Device-side launches are not simulated.
__global__ void kernelLaunchingAKernel(int* out) { LAUNCH_KERNEL(kernelLaneOutsideItsMask, dim3(1), dim3(1), 0, out); }

// Each level of the recursion keeps a frame of at least `frameBytes` on the stack. A thread that
// gets to the bottom of a recursion too deep for its stack ends the process with success, which a
// death test counts as surviving: an overflow must crash as it happens.
constexpr int frameBytes = 256;
[[gnu::noinline]] __device__ int recurse(int depth, bool overflowing) {
    volatile char frame[frameBytes];
    frame[0] = char(depth);
    if (depth == 0 && overflowing) std::_Exit(0);
    return depth == 0 ? 0 : recurse(depth - 1, overflowing) + frame[0];
}

// Thread `deepThread` recurses `depth` levels: thread 0 on the fiber that runs the blocks, another
// thread after a barrier, on a fiber of its own.
__global__ void kernelRecursing(int* out, int deepThread, int depth) {
    if (deepThread != 0) __syncthreads();
    if (int(threadIdx.x) == deepThread) out[0] = recurse(depth, depth * frameBytes > int(detail::fiberStackBytes));
}

class SimulationTest : public DeviceTest {
protected:
    void TearDown() override { cudaDeviceReset(); }

    // Launches a faulty kernel and returns the failure's message; the device is reset afterwards.
    template <auto Kernel>
    std::string faultOf(const char* name, unsigned threads) {
        std::string message;
        {
            DeviceArray<int> out(threads);
            try {
                launchKernel<Kernel>(name, dim3(3), dim3(threads), 0, out.get());
            } catch (const Failure& failure) {
                message = failure.what();
            }
        }
        cudaDeviceReset();
        return message;
    }
};

TEST_F(SimulationTest, BrokenRulesOfTheExecutionModelAreKernelFaults) {
    const std::pair<std::string, std::string> faults[] = {
        {faultOf<kernelWarpWaitsForBlockBarrier>("kernelWarpWaitsForBlockBarrier", 64),
         "barrier deadlock: 1 threads wait at __syncthreads \\(.*simulation_test.cu:[0-9]+\\) while 31 lanes wait at __syncwarp"},
        {faultOf<kernelBarriersAtTwoSites>("kernelBarriersAtTwoSites", 64),
         "different __syncthreads\\(\\) call sites: .*simulation_test.cu:([0-9]+) and .*simulation_test.cu:(?!\\1\\b)[0-9]+\\)"},
        {faultOf<kernelMismatchedWarpMasks>("kernelMismatchedWarpMasks", 64), "barrier deadlock: 2 lanes wait at __syncwarp"},
        {faultOf<kernelLaneOutsideItsMask>("kernelLaneOutsideItsMask", 64),
         "__syncwarp\\(0x00000200\\) called by lane 8, which its mask leaves out"},
        {faultOf<kernelLaunchingAKernel>("kernelLaunchingAKernel", 64), "kernel launch from inside a running kernel"},
    };
    for (const auto& [message, pattern] : faults) {
        EXPECT_NE(message.find("unspecified launch failure"), std::string::npos) << message;
        EXPECT_TRUE(std::regex_search(message, std::regex(pattern))) << message;
    }
}

TEST_F(SimulationTest, KernelFaultIsStickyUntilReset) {
    DeviceArray<int> out(64);
    EXPECT_THROW(LAUNCH_KERNEL(kernelWarpWaitsForBlockBarrier, dim3(1), dim3(64), 0, out.get()), Failure);
    int* memory = nullptr;
    EXPECT_EQ(cudaMalloc(&memory, 64), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    cudaDeviceReset();
    EXPECT_EQ(cudaMalloc(&memory, 64), cudaSuccess);
    EXPECT_EQ(cudaFree(memory), cudaSuccess);
}

TEST_F(SimulationTest, AThreadThatOverflowsItsStackCrashes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int overflowingDepth = 2 * int(detail::fiberStackBytes) / frameBytes;
    DeviceArray<int> out(1);
    for (int deepThread : {5, 0}) {
        EXPECT_DEATH(LAUNCH_KERNEL(kernelRecursing, dim3(2), dim3(64), 0, out.get(), deepThread, overflowingDepth), "")
            << "thread " << deepThread;
        EXPECT_NO_THROW(LAUNCH_KERNEL(kernelRecursing, dim3(2), dim3(64), 0, out.get(), deepThread, 30));
    }
}

TEST_F(SimulationTest, CopiesOutsideAnAllocationAreRejected) {
    DeviceArray<int> array(16);
    std::vector<int> host(17);
    EXPECT_EQ(cudaMemcpy(host.data(), array.get(), 17 * sizeof(int), cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(array.get() + 1, host.data(), 16 * sizeof(int), cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 1, sizeof(int), cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(array.get() + 15, host.data(), sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaFree(host.data()), cudaErrorInvalidDevicePointer);
    cudaGetLastError();
}

}  // namespace
CVT_END_NAMESPACE
