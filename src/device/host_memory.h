// How much memory the host can still give this process: what a run's host buffers may take, and the
// capacity of the simulated device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace cvt {

// Memory touched for the first time is faulted in one 4 KiB page at a time, which on some virtual
// machines costs far more than reading the data (a 64 MiB volume took 0.19 s to fault in and 0.01 s
// when populated at once). Large buffers are therefore populated in one call, with huge pages where
// the kernel gives them. Advice only: kernels that know neither request are ignored.
void populateLargeBuffer(void* data, size_t bytes);

// MemAvailable of `proc`/meminfo, lowered by the memory limit of this process's control group and of
// each group above it (cgroup v2 memory.max, or v1 memory.limit_in_bytes, under `cgroups`) where one
// is smaller. Nothing when meminfo cannot be read.
std::optional<uint64_t> availableHostMemory(const std::filesystem::path& proc = "/proc",
                                            const std::filesystem::path& cgroups = "/sys/fs/cgroup");

}  // namespace cvt
