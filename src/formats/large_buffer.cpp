#include "large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace cvt::formats {

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

}  // namespace cvt::formats
