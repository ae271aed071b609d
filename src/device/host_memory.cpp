#include "host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace cvt {
namespace {

namespace fs = std::filesystem;

std::optional<uint64_t> memAvailable(const fs::path& meminfo) {
    std::ifstream file(meminfo);
    std::string key, unit;
    uint64_t kibibytes = 0;
    while (file >> key >> kibibytes) {
        std::getline(file, unit);
        if (key == "MemAvailable:") return kibibytes * 1024;
    }
    return std::nullopt;
}

// A limit file holds a byte count, or "max" where there is no limit.
std::optional<uint64_t> limitIn(const fs::path& file) {
    std::ifstream in(file);
    uint64_t bytes = 0;
    if (in >> bytes) return bytes;
    return std::nullopt;
}

// The smallest limit named `limitFile` in `group` and the groups above it, up to `root`. (A group
// outside the part of the hierarchy mounted at `root` shows as "/.."; the limits above it that can
// be seen still count.)
std::optional<uint64_t> smallestLimit(const fs::path& root, const std::string& group, const char* limitFile) {
    std::optional<uint64_t> smallest = limitIn(root / limitFile);
    fs::path dir = root;
    for (const fs::path& part : fs::path(group).relative_path()) {
        if (part.empty() || part == "..") continue;
        dir /= part;
        if (const std::optional<uint64_t> limit = limitIn(dir / limitFile))
            smallest = std::min(smallest.value_or(*limit), *limit);
    }
    return smallest;
}

}  // namespace

std::optional<uint64_t> availableHostMemory(const fs::path& proc, const fs::path& cgroups) {
    std::optional<uint64_t> available = memAvailable(proc / "meminfo");
    if (!available) return std::nullopt;
    // Lines "hierarchy:controllers:group": "0::group" for cgroup v2, "n:...memory...:group" for v1.
    std::ifstream membership(proc / "self/cgroup");
    for (std::string line; std::getline(membership, line);) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1), group = line.substr(second + 1);
        std::optional<uint64_t> limit;
        if (controllers.empty()) {
            limit = smallestLimit(cgroups, group, "memory.max");
        } else {
            std::istringstream list(controllers);
            for (std::string controller; std::getline(list, controller, ',');)
                if (controller == "memory") limit = smallestLimit(cgroups / "memory", group, "memory.limit_in_bytes");
        }
        if (limit) available = std::min(*available, *limit);
    }
    return available;
}

void populateLargeBuffer(void* data, size_t bytes) {
    // Below this, a buffer faults in quickly enough that system calls would not pay.
    constexpr size_t largeBytes = size_t(4) << 20;
    if (bytes < largeBytes) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (uintptr_t(data) + page - 1) / page * page;
    const uintptr_t end = (uintptr_t(data) + bytes) / page * page;
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

}  // namespace cvt
