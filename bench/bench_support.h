// Timing and reporting for cvt-bench, and the registry that collects the benchmarks of each
// subsystem (each bench/*.cu registers its own with CVT_BENCHMARK).
#pragma once

#include <chrono>
#include <limits>
#include <string>

#include "device/device.h"

CVT_BEGIN_NAMESPACE

// Prints "key: seconds"; on the GPU the key gets the prefix "gpu_".
void reportSeconds(const std::string& key, double seconds);
// Whether figures of this backend are GPU figures (prefixed) or simulation figures.
bool benchOnGpu();

// The wall time of one call of f (host work, or device work that f waits for).
template <class F>
double secondsOf(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The best of `repeats` timings of f, each taken after all earlier device work has finished and
// ending when f's device work has.
template <class F>
double bestSeconds(int repeats, F&& f) {
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        checkCuda(cudaDeviceSynchronize(), "synchronising before a timing");
        const auto start = std::chrono::steady_clock::now();
        f();
        checkCuda(cudaDeviceSynchronize(), "synchronising after a timing");
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

// Benchmarks run in the order of their `order` strings.
struct BenchmarkRegistration {
    BenchmarkRegistration(const char* order, void (*run)());
};

#define CVT_BENCHMARK(order, function) \
    static const ::cvt::BenchmarkRegistration benchmarkRegistration_##function(order, &function)

CVT_END_NAMESPACE
