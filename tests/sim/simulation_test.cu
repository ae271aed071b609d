// Behaviour that only the simulation has: it catches kernels that break CUDA's execution model,
// which a GPU would turn into a hang or silent corruption, and it checks the bounds of copies.
#include <string>
#include <vector>

#include "device_test_support.h"

CVT_BEGIN_NAMESPACE
namespace {

// Thread 0 waits at a barrier that the other threads never reach.
__global__ void kernelBarrierInThreadZeroOnly(int* out) {
    if (threadIdx.x == 0) __syncthreads();
    out[threadIdx.x] = 1;
}

// Threads other than thread 0 wait at a barrier that thread 0 skips.
__global__ void kernelBarrierSkippedByThreadZero(int* out) {
    if (threadIdx.x != 0) __syncthreads();
    out[threadIdx.x] = 1;
}

// Warp 0 waits at a warp barrier while warp 1 waits at the block barrier.
__global__ void kernelMixedBarriers(int* out) {
    if (threadIdx.x < 32) __syncwarp();
    else __syncthreads();
    out[threadIdx.x] = 1;
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

TEST_F(SimulationTest, BarrierMissedByPartOfTheBlockIsAKernelFault) {
    for (const std::string& message : {faultOf<kernelBarrierInThreadZeroOnly>("kernelBarrierInThreadZeroOnly", 64),
                                       faultOf<kernelBarrierSkippedByThreadZero>("kernelBarrierSkippedByThreadZero", 64),
                                       faultOf<kernelMixedBarriers>("kernelMixedBarriers", 64)}) {
        EXPECT_NE(message.find("unspecified launch failure"), std::string::npos) << message;
        EXPECT_NE(message.find("barrier"), std::string::npos) << message;
    }
}

TEST_F(SimulationTest, KernelFaultIsStickyUntilReset) {
    DeviceArray<int> out(32);
    EXPECT_THROW(LAUNCH_KERNEL(kernelBarrierInThreadZeroOnly, dim3(1), dim3(32), 0, out.get()), Failure);
    int* memory = nullptr;
    EXPECT_EQ(cudaMalloc(&memory, 64), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    cudaDeviceReset();
    EXPECT_EQ(cudaMalloc(&memory, 64), cudaSuccess);
    EXPECT_EQ(cudaFree(memory), cudaSuccess);
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
