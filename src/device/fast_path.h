// Host fast paths: a kernel may have, beside it, a plain C++ function that computes exactly what a
// launch of the kernel computes, in an order that suits a CPU. Registered with
//     CVT_HOST_FAST_PATH(kernelX, hostKernelX);
// it takes the launch's grid and block and then the kernel's own parameters, and returns whether it
// handled the launch (false for a launch shape it does not handle: that launch runs the kernel). On a
// GPU the registration means nothing and launches run the kernel; on the CPU simulation a launch runs
// the fast path instead of simulating the kernel's threads, unless CVT_SIM_FAST_PATHS=0. Launches keep
// their checks and error reporting either way. Tests compare every fast path with its kernel bit for
// bit. hostParallelFor runs a fast path's loop on the host threads that run simulated blocks, of which
// there are hostParallelWidth().
#pragma once

#include "device.h"

// A name of its own for every registration.
#define CVT_HOST_FAST_PATH_NAME(counter) cvtHostFastPathRegistered##counter
#define CVT_HOST_FAST_PATH_VARIABLE(counter) CVT_HOST_FAST_PATH_NAME(counter)

#if defined(__CUDACC__)

#include <cstdint>

namespace cvt::gpu {

inline int hostParallelWidth() { return 1; }

template <class Body>
void hostParallelFor(int64_t count, const Body& body) {
    for (int64_t i = 0; i < count; ++i) body(i);
}

// A GPU runs its kernels: there are no fast paths to switch.
inline bool fastPathsEnabled() { return false; }
inline void setFastPathsEnabled(bool) {}

}  // namespace cvt::gpu

#define CVT_HOST_FAST_PATH(kernel, function) \
    [[maybe_unused]] static constexpr auto CVT_HOST_FAST_PATH_VARIABLE(__COUNTER__) = &function

#else

#include "sim/fast_paths.h"

#define CVT_HOST_FAST_PATH(kernel, function) \
    CVT_HOST_FAST_PATH_OF(CVT_HOST_FAST_PATH_VARIABLE(__COUNTER__), kernel, function)

#endif
