// The one header through which kernels and host code reach the device. Compiled by nvcc it is the
// CUDA runtime; compiled by the host compiler it is the CPU simulation of it. Code of the four
// subsystems is written once against this header and placed in CVT_BEGIN_NAMESPACE ... so that both
// compilations of it can live in one executable, as cvt::gpu and cvt::sim.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#if defined(__CUDACC__)
#include <cuda_runtime.h>
#define CVT_BACKEND gpu
#else
#include "sim/launch.h"
#include "sim/runtime.h"
#define CVT_BACKEND sim
#endif

#define CVT_BEGIN_NAMESPACE \
    namespace cvt {         \
    inline namespace CVT_BACKEND {
#define CVT_END_NAMESPACE \
    }                     \
    }

#include "failure.h"

CVT_BEGIN_NAMESPACE

// Checks a runtime call's status; on failure throws cvt::Failure naming the operation and the
// runtime's error string. Every runtime call of the program goes through it.
void checkCuda(cudaError_t status, const char* operation);
// The same for an allocation, whose message also gives the size asked for.
void checkAllocation(cudaError_t status, const char* what, size_t bytes);

// "gpu" or "sim".
const char* backendName();
// Why this backend cannot run here, or nothing when it can.
std::optional<std::string> unavailableReason();
// A short name of the device that runs the kernels, for reports.
std::string deviceName();
// Makes the GPU of a rank's place on its machine the device of this process (one GPU per rank while
// there are as many); nothing on the simulation. Before any other use of the device.
void useDeviceOfRank(int localRank);
// Whether device allocations come out of the host's memory (the simulation), so that a caller that
// sizes its work by the device's free memory must count its host buffers against it too.
bool deviceMemoryIsHostMemory();

// Dynamic shared memory of the running block, as an array of T.
template <class T>
__device__ __forceinline__ T* dynamicShared() {
#if defined(__CUDACC__)
    extern __shared__ __align__(16) unsigned char cvtDynamicShared[];
    return reinterpret_cast<T*>(cvtDynamicShared);
#else
    return static_cast<T*>(dynamicSharedBase());
#endif
}

// Launches Kernel on the default stream and checks the launch. On the simulation the launch also runs
// to completion; on a GPU it is queued as usual. Use it through LAUNCH_KERNEL, which names the kernel.
template <auto Kernel, class... Args>
void launchKernel(const char* kernelName, dim3 grid, dim3 block, size_t dynamicSharedBytes, Args... args) {
#if defined(__CUDACC__)
    Kernel<<<grid, block, dynamicSharedBytes>>>(args...);
    const cudaError_t status = cudaGetLastError();
#else
    const cudaError_t status = launch<Kernel>(grid, block, dynamicSharedBytes, args...);
#endif
    if (status != cudaSuccess) {
        const std::string operation = std::string("launch of ") + kernelName + " (grid " + std::to_string(grid.x) +
                                      "x" + std::to_string(grid.y) + "x" + std::to_string(grid.z) + ", block " +
                                      std::to_string(block.x) + "x" + std::to_string(block.y) + "x" +
                                      std::to_string(block.z) + ")";
        checkCuda(status, operation.c_str());
    }
}

CVT_END_NAMESPACE

#define LAUNCH_KERNEL(kernel, grid, block, dynamicSharedBytes, ...) \
    ::cvt::launchKernel<kernel>(#kernel, grid, block, dynamicSharedBytes, __VA_ARGS__)
