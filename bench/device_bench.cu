// Cost of the device layer itself: a barrier-free voxel kernel against the plain loop doing the same
// work, and the same volume through a kernel with one block barrier.
#include <memory>

#include "bench_support.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 256;

__global__ void kernelStoreIndex(int* volume, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int index = (z * n + y) * n + x;
    volume[index] = index;
}

// The same store, with every block passing one barrier before it.
__global__ void kernelStoreIndexAfterBarrier(int* volume, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    __syncthreads();
    const int index = (z * n + y) * n + x;
    volume[index] = index;
}

void benchDeviceLayer() {
    const size_t count = size_t(edge) * edge * edge;
    int* volume = nullptr;
    checkAllocation(cudaMalloc(&volume, count * sizeof(int)), "the benchmark volume", count * sizeof(int));
    const dim3 grid(edge / 32, edge / 4, edge), block(32, 4, 1);
    const char* prefix = benchOnGpu() ? "" : "sim_";
    reportSeconds(std::string(prefix) + "plain_kernel_s",
                  bestSeconds(10, [&] { LAUNCH_KERNEL(kernelStoreIndex, grid, block, 0, volume, edge); }));
    reportSeconds(std::string(prefix) + "barrier_kernel_s",
                  bestSeconds(3, [&] { LAUNCH_KERNEL(kernelStoreIndexAfterBarrier, grid, block, 0, volume, edge); }));
    checkCuda(cudaFree(volume), "freeing the benchmark volume");

    if (benchOnGpu()) return;
    // The plain loop runs on one host thread over host memory that is already mapped, like the
    // simulated device memory after the kernel's first run.
    const std::unique_ptr<int[]> host(new int[count]());
    volatile int* sink = host.get();
    reportSeconds("plain_loop_s", bestSeconds(10, [&] {
                      for (int z = 0; z < edge; ++z)
                          for (int y = 0; y < edge; ++y)
                              for (int x = 0; x < edge; ++x) {
                                  const int index = (z * edge + y) * edge + x;
                                  host[index] = index;
                              }
                      sink[0] = host[count - 1];
                  }));
}

CVT_BENCHMARK("10 device", benchDeviceLayer);

}  // namespace
CVT_END_NAMESPACE
