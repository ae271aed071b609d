// How much memory the host can still give this process: what a run's host buffers may take, and the
// capacity of the simulated device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace cvt {

// MemAvailable of `proc`/meminfo, lowered by the memory limit of this process's control group and of
// each group above it (cgroup v2 memory.max, or v1 memory.limit_in_bytes, under `cgroups`) where one
// is smaller. Nothing when meminfo cannot be read.
std::optional<uint64_t> availableHostMemory(const std::filesystem::path& proc = "/proc",
                                            const std::filesystem::path& cgroups = "/sys/fs/cgroup");

}  // namespace cvt
