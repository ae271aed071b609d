// Memory, copies and error state of the simulated device.
#include "runtime.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "faults.h"
#include "../host_memory.h"
#include "state.h"

namespace cvt::sim {
namespace {

constexpr size_t allocationAlignment = 256;  // what cudaMalloc guarantees

// Shared by every host thread; the mutex guards all but `sticky`.
struct DeviceState {
    std::mutex mutex;
    std::map<const std::byte*, size_t> allocations;  // base -> bytes
    size_t allocatedBytes = 0;                       // their sizes rounded up to the alignment
    size_t capacityForTesting = 0;                   // 0: the host's memory
    std::atomic<cudaError_t> sticky = cudaSuccess;
    std::string faultDescription;
    // Per Operation: calls left until the injected failure. A process can be started with a launch
    // failure armed (CVT_SIM_FAIL_LAUNCH=n: the nth launch fails), so that a test can make one rank
    // of several fail in the middle of a run.
    unsigned failAt[3] = {0, 0, launchFailureFromEnvironment()};

    static unsigned launchFailureFromEnvironment() {
        const char* nth = std::getenv("CVT_SIM_FAIL_LAUNCH");
        return nth == nullptr ? 0 : unsigned(std::strtoul(nth, nullptr, 10));
    }
};

// As in CUDA, the last error is each host thread's own; a sticky error is everyone's.
thread_local cudaError_t lastError = cudaSuccess;

DeviceState& device() {
    static DeviceState state;
    return state;
}

// An allocation of `bytes` occupies this many units of the alignment (at least one).
size_t alignedUnits(size_t bytes) { return std::max<size_t>(bytes / allocationAlignment + (bytes % allocationAlignment != 0), 1); }

// The device's memory: what the host could give this process when first asked, as a GPU's is fixed.
// Callers hold the mutex.
size_t capacity(const DeviceState& state) {
    static const size_t hostMemory = availableHostMemory().value_or(SIZE_MAX);
    return state.capacityForTesting != 0 ? state.capacityForTesting : hostMemory;
}

size_t freeBytes(const DeviceState& state) {
    const size_t total = capacity(state);
    return total > state.allocatedBytes ? total - state.allocatedBytes : 0;
}

// True when [pointer, pointer + bytes) lies inside one device allocation.
bool isDeviceRange(const void* pointer, size_t bytes) {
    DeviceState& state = device();
    std::lock_guard lock(state.mutex);
    const auto* begin = static_cast<const std::byte*>(pointer);
    auto next = state.allocations.upper_bound(begin);
    if (next == state.allocations.begin()) return false;
    const auto& [base, size] = *std::prev(next);
    const size_t offset = static_cast<size_t>(begin - base);
    return offset <= size && bytes <= size - offset;
}

}  // namespace

cudaError_t recordError(cudaError_t error) {
    if (error != cudaSuccess) lastError = error;
    return error;
}

cudaError_t recordKernelFault(const std::string& description) {
    DeviceState& state = device();
    {
        const std::lock_guard lock(state.mutex);
        state.faultDescription = description;
    }
    state.sticky = cudaErrorLaunchFailure;
    return recordError(cudaErrorLaunchFailure);
}

cudaError_t stickyError() { return device().sticky; }

int hostWorkerCount() { return omp_get_max_threads(); }

void injectFailure(Operation operation, unsigned nth) {
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    state.failAt[static_cast<int>(operation)] = nth;
}

bool injectedFailure(Operation operation) {
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    unsigned& left = state.failAt[static_cast<int>(operation)];
    if (left == 0) return false;
    return --left == 0;
}

void setDeviceCapacity(size_t bytes) {
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    state.capacityForTesting = bytes;
}

size_t deviceAllocationCount() {
    DeviceState& state = device();
    std::lock_guard lock(state.mutex);
    return state.allocations.size();
}

cudaError_t cudaMalloc(void** pointer, size_t bytes) {
    *pointer = nullptr;
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    if (injectedFailure(Operation::allocation)) return recordError(cudaErrorMemoryAllocation);
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    // The host would promise more than it has (overcommit) and kill the process later.
    if (alignedUnits(bytes) > freeBytes(state) / allocationAlignment) return recordError(cudaErrorMemoryAllocation);
    const size_t rounded = alignedUnits(bytes) * allocationAlignment;
    void* memory = std::aligned_alloc(allocationAlignment, rounded);
    if (memory == nullptr) return recordError(cudaErrorMemoryAllocation);
    // A GPU's memory is there once allocated; so is the simulated device's, in one call.
    populateLargeBuffer(memory, rounded);
    state.allocations.emplace(static_cast<const std::byte*>(memory), bytes);
    state.allocatedBytes += rounded;
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void* pointer) {
    if (pointer == nullptr) return cudaSuccess;
    DeviceState& state = device();
    {
        std::lock_guard lock(state.mutex);
        auto found = state.allocations.find(static_cast<const std::byte*>(pointer));
        if (found == state.allocations.end()) return recordError(cudaErrorInvalidDevicePointer);
        state.allocatedBytes -= alignedUnits(found->second) * allocationAlignment;
        state.allocations.erase(found);
    }
    std::free(pointer);
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    if (free == nullptr || total == nullptr) return recordError(cudaErrorInvalidValue);
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    *total = capacity(state);
    *free = freeBytes(state);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* destination, const void* source, size_t bytes, cudaMemcpyKind kind) {
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    const bool fromDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    const bool toDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return recordError(cudaErrorInvalidMemcpyDirection);
    if (injectedFailure(Operation::copy)) return recordError(cudaErrorInvalidValue);
    if (bytes == 0) return cudaSuccess;
    if ((fromDevice && !isDeviceRange(source, bytes)) || (toDevice && !isDeviceRange(destination, bytes)))
        return recordError(cudaErrorInvalidValue);
    std::memcpy(destination, source, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* destination, int value, size_t bytes) {
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    if (bytes == 0) return cudaSuccess;
    if (!isDeviceRange(destination, bytes)) return recordError(cudaErrorInvalidValue);
    std::memset(destination, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() { return recordError(stickyError()); }

cudaError_t cudaDeviceReset() {
    DeviceState& state = device();
    std::lock_guard lock(state.mutex);
    for (const auto& [base, size] : state.allocations) std::free(const_cast<std::byte*>(base));
    state.allocations.clear();
    state.allocatedBytes = 0;
    state.sticky = lastError = cudaSuccess;
    state.faultDescription.clear();
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    const cudaError_t error = cudaPeekAtLastError();
    lastError = cudaSuccess;
    return error;
}

cudaError_t cudaPeekAtLastError() {
    const cudaError_t sticky = stickyError();
    return sticky != cudaSuccess ? sticky : lastError;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    }
    return "unrecognized error code";
}

std::string lastFaultDescription() {
    DeviceState& state = device();
    const std::lock_guard lock(state.mutex);
    return state.faultDescription;
}

}  // namespace cvt::sim
