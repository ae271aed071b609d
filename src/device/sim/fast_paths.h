// Host fast paths of the simulation: plain C++ functions that compute exactly what a launch of their
// kernel computes, registered beside the kernel (CVT_HOST_FAST_PATH in fast_path.h). A launch of a
// kernel with a fast path runs the function instead of simulating the threads one by one, unless fast
// paths are switched off: by CVT_SIM_FAST_PATHS=0 in the environment, or by setFastPathsEnabled.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>

#include "runtime.h"

namespace cvt::sim {

// Whether launches take their kernels' fast paths (read from CVT_SIM_FAST_PATHS at the first launch).
bool fastPathsEnabled();
// For tests and benchmarks that compare a fast path with its simulated kernel.
void setFastPathsEnabled(bool enabled);
// How many launches fast paths have run so far (so that a test can see one ran).
uint64_t hostFastPathLaunches();

namespace detail {
void countHostFastPathLaunch();
}

namespace detail {

template <class Function>
struct ParametersOf;
template <class... Parameters>
struct ParametersOf<void (*)(Parameters...)> {
    using Tuple = std::tuple<Parameters...>;
};

// A kernel's arguments as its own parameter types.
template <auto Kernel>
using KernelArguments = typename ParametersOf<decltype(Kernel)>::Tuple;

// A fast path with the arguments type-erased; false: this launch shape is not one it handles, and
// the launch is simulated.
using HostFastPath = bool (*)(dim3 grid, dim3 block, const void* arguments);

// The fast path of each kernel, set while the program starts (by the registrations).
template <auto Kernel>
inline HostFastPath hostFastPathOf = nullptr;

template <auto Kernel, auto Function>
bool runHostFastPath(dim3 grid, dim3 block, const void* arguments) {
    return std::apply([&](auto... values) { return Function(grid, block, values...); },
                      *static_cast<const KernelArguments<Kernel>*>(arguments));
}

template <auto Kernel, auto Function>
bool registerHostFastPath() {
    hostFastPathOf<Kernel> = &runHostFastPath<Kernel, Function>;
    return true;
}

}  // namespace detail

// How many host threads run simulated blocks, and so the bodies of hostParallelFor.
int hostParallelWidth();

// Runs body(i) for i in [0, count) on the host threads that run simulated blocks.
template <class Body>
void hostParallelFor(int64_t count, const Body& body) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < count; ++i) body(i);
}

}  // namespace cvt::sim

// The simulation's registration, which fast_path.h names CVT_HOST_FAST_PATH; `name` is a fresh name.
#define CVT_HOST_FAST_PATH_OF(name, kernel, function) \
    [[maybe_unused]] static const bool name = ::cvt::sim::detail::registerHostFastPath<kernel, function>()
