#include "memory_check.h"

#include <algorithm>
#include <cstdio>

namespace cvt::volume {
namespace {

std::string gibibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", double(bytes) / double(uint64_t(1) << 30));
    return text;
}

std::string shortfall(const char* what, uint64_t need, uint64_t available) {
    return "the run needs " + gibibytes(need) + " GiB of " + what + ", " + gibibytes(available) + " GiB available";
}

}  // namespace

std::optional<std::string> memoryShortfall(const MemoryNeeds& needs, const MemoryAvailable& available) {
    if (available.sharedMemory) {
        const uint64_t need = std::max(needs.device + needs.host, needs.hostAfter);
        if (need > available.host) return shortfall("memory", need, available.host);
        return std::nullopt;
    }
    if (needs.device > available.device) return shortfall("device memory", needs.device, available.device);
    if (needs.hostPeak() > available.host) return shortfall("host memory", needs.hostPeak(), available.host);
    return std::nullopt;
}

}  // namespace cvt::volume
