#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

CVT_BEGIN_NAMESPACE

namespace {
std::vector<std::pair<std::string, void (*)()>>& registry() {
    static std::vector<std::pair<std::string, void (*)()>> benchmarks;
    return benchmarks;
}
}  // namespace

BenchmarkRegistration::BenchmarkRegistration(const char* order, void (*run)()) { registry().emplace_back(order, run); }

bool benchOnGpu() { return std::string_view(backendName()) == "gpu"; }

void reportSeconds(const std::string& key, double seconds) {
    std::printf("%s%s: %.6f\n", benchOnGpu() ? "gpu_" : "", key.c_str(), seconds);
    std::fflush(stdout);
}

// Runs every benchmark, or those whose group (the order string without its number) is listed.
void runBenchmarks(const std::vector<std::string>& groups) {
    auto benchmarks = registry();
    std::sort(benchmarks.begin(), benchmarks.end());
    for (const auto& [order, run] : benchmarks) {
        const std::string group = order.substr(order.find(' ') + 1);
        if (groups.empty() || std::find(groups.begin(), groups.end(), group) != groups.end()) run();
    }
}

CVT_END_NAMESPACE
