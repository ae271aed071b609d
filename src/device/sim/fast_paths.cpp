#include "fast_paths.h"

#include "state.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace cvt::sim {
namespace {

bool enabledByEnvironment() {
    const char* setting = std::getenv("CVT_SIM_FAST_PATHS");
    return setting == nullptr || std::strcmp(setting, "0") != 0;
}

std::atomic<uint64_t> launches{0};

std::atomic<bool>& enabled() {
    static std::atomic<bool> flag{enabledByEnvironment()};
    return flag;
}

}  // namespace

bool fastPathsEnabled() { return enabled().load(std::memory_order_relaxed); }

void setFastPathsEnabled(bool on) { enabled().store(on, std::memory_order_relaxed); }

uint64_t hostFastPathLaunches() { return launches.load(std::memory_order_relaxed); }

int hostParallelWidth() { return hostWorkerCount(); }

void detail::countHostFastPathLaunch() { launches.fetch_add(1, std::memory_order_relaxed); }

}  // namespace cvt::sim
