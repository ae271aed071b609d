// Whether a run fits the memory it will use, asked before anything large is allocated, so that a run
// too large is refused with a clear message instead of being killed by the operating system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cvt::volume {

struct MemoryNeeds {
    uint64_t device = 0;  // the buffer set
    uint64_t host = 0;    // the host volumes of the run
};

struct MemoryAvailable {
    uint64_t device = 0;       // free device memory
    uint64_t host = 0;         // available host memory
    bool sharedMemory = false;  // the device's memory is the host's (the CPU simulation)
};

// "needs X GiB, Y GiB available" when the run does not fit, else nothing.
std::optional<std::string> memoryShortfall(const MemoryNeeds& needs, const MemoryAvailable& available);

}  // namespace cvt::volume
