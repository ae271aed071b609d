// Whether a run fits the memory it will use, asked before anything large is allocated, so that a run
// too large is refused with a clear message instead of being killed by the operating system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cvt::volume {

// A run holds the buffer set and some host volumes, then frees the set and holds the result's.
struct MemoryNeeds {
    uint64_t device = 0;     // the buffer set
    uint64_t host = 0;       // the host volumes held beside it
    uint64_t hostAfter = 0;  // the host volumes held once it is freed
    uint64_t hostPeak() const { return host > hostAfter ? host : hostAfter; }
};

struct MemoryAvailable {
    uint64_t device = 0;       // free device memory
    uint64_t host = 0;         // available host memory
    bool sharedMemory = false;  // the device's memory is the host's (the CPU simulation)
};

// "needs X GiB, Y GiB available" when the run does not fit at its peak, else nothing.
std::optional<std::string> memoryShortfall(const MemoryNeeds& needs, const MemoryAvailable& available);

}  // namespace cvt::volume
