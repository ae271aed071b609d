// CPU simulation of the part of the CUDA runtime that the kernels and host code use.
//
// Kernel sources are plain CUDA C++; compiled by the host compiler they see this header instead of
// cuda_runtime.h. Everything lives in cvt::sim so that the simulation and the real runtime can be
// linked into one executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <source_location>
#include <string>

#include "../qualifiers.h"

#define __global__
// One instance per simulated block: a block runs entirely on one host thread, one block at a time.
#define __shared__ static thread_local

// The simulation is the sim backend's namespace itself, inline in cvt like every backend namespace.
namespace cvt {
inline namespace sim {}
}  // namespace cvt

#include "atomics.h"

namespace cvt::sim {

struct uint3 {
    unsigned x, y, z;
};

struct dim3 {
    unsigned x = 1, y = 1, z = 1;
    constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};

// One coordinate of a built-in index variable. It reads as CUDA's unsigned, but lives in a 64-bit
// word: the kernels' 32-bit stores cannot alias it, so the compiler may keep indices in registers
// across a plain loop of simulated threads instead of reloading them after every store.
class IndexComponent {
public:
    constexpr IndexComponent(unsigned value = 0) : value_(value) {}
    constexpr operator unsigned() const { return static_cast<unsigned>(value_); }

private:
    uint64_t value_;
};

struct IndexVector {
    IndexComponent x, y, z;
    constexpr IndexVector(unsigned vx = 0, unsigned vy = 0, unsigned vz = 0) : x(vx), y(vy), z(vz) {}
    constexpr IndexVector(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr IndexVector(dim3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator dim3() const { return dim3(x, y, z); }
};

// The built-in index variables of the running simulated thread. The scheduler rewrites them before
// it runs or resumes a thread; they are constant-initialised so that access is a plain TLS load.
inline thread_local IndexVector threadIdx{0, 0, 0};
inline thread_local IndexVector blockIdx{0, 0, 0};
inline thread_local IndexVector blockDim{1, 1, 1};
inline thread_local IndexVector gridDim{1, 1, 1};

constexpr int warpSize = 32;

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorLaunchFailure = 719,
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
};

cudaError_t cudaMalloc(void** pointer, size_t bytes);
cudaError_t cudaFree(void* pointer);
cudaError_t cudaMemcpy(void* destination, const void* source, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* destination, int value, size_t bytes);
// The device's memory is the host memory available to the process when first asked (see
// host_memory.h); allocations beyond what is left of it fail with cudaErrorMemoryAllocation.
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);
cudaError_t cudaDeviceSynchronize();
// Frees every allocation and clears the error state, sticky kernel faults included.
cudaError_t cudaDeviceReset();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

template <class T>
cudaError_t cudaMalloc(T** pointer, size_t bytes) {
    return cudaMalloc(reinterpret_cast<void**>(pointer), bytes);
}

// Block barrier: no thread of the block passes until every thread that has not exited arrives, at
// this same call site (`site` identifies it; callers leave it out).
inline void __syncthreads(std::source_location site = std::source_location::current());
// Warp barrier over the lanes of `mask` in the calling thread's warp, the caller included. Lanes run
// as separate fibers, so warp-synchronous code must use it wherever a lane reads what another wrote.
inline void __syncwarp(unsigned mask = 0xffffffffu);

// Global-memory atomics; blocks run concurrently on several host threads (see atomics.h).
inline float atomicAdd(float* address, float value) { return detail::atomicFetchAdd(address, value); }
inline int atomicAdd(int* address, int value) { return detail::atomicFetchAdd(address, value); }
inline unsigned atomicAdd(unsigned* address, unsigned value) { return detail::atomicFetchAdd(address, value); }
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
    return detail::atomicFetchAdd(address, value);
}

// What the last kernel fault was, in words (the simulation knows more than a status code says).
std::string lastFaultDescription();

// Dynamic shared memory of the running block, of the size given at launch.
void* dynamicSharedBase();

// A GPU runs the blocks of a launch in no particular order. With a seed other than 0, later launches
// run theirs in a shuffled order that the seed picks (never the linear order, on any number of host
// threads), so that a test can show that a result does not depend on it; 0 restores the linear order.
void setBlockOrderSeed(uint64_t seed);

}  // namespace cvt::sim

#include "block_fibers.h"  // the barriers, inline
