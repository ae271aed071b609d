#include "stack_pool.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>


namespace cvt::sim::detail {

StackPool::~StackPool() {
    for (const Mapping& mapping : mappings_) munmap(mapping.base, mapping.bytes);
}

StackBounds StackPool::allocate() {
    if (!free_.empty()) {
        const StackBounds stack = free_.back();
        free_.pop_back();
        return stack;
    }
    const size_t guardBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = guardBytes + fiberStackBytes;
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw KernelFault{std::string("no memory for a fiber stack: ") + std::strerror(errno)};
    // Where the kernel refuses to split the mapping (the process has vm.max_map_count mappings), the
    // stack goes without a guard rather than the launch failing.
    mprotect(base, guardBytes, PROT_NONE);
    mappings_.push_back(Mapping{base, bytes});
    const size_t stagger = mappings_.size() % 64 * 64;
    return StackBounds{static_cast<std::byte*>(base) + guardBytes, fiberStackBytes - stagger};
}

// A fiber that is unwound or never returns leaves AddressSanitizer's poison of its frames on the
// stack; the next fiber on the same memory must not inherit it.
void StackPool::release(const StackBounds& stack) {
    ASAN_UNPOISON_MEMORY_REGION(stack.bottom, stack.size);
    free_.push_back(stack);
}

boost::context::stack_context PooledStack::allocate() {
    *bounds_ = pool_->allocate();
    boost::context::stack_context stack;
    stack.size = bounds_->size;
    stack.sp = const_cast<std::byte*>(static_cast<const std::byte*>(bounds_->bottom)) + bounds_->size;
    return stack;
}

void PooledStack::deallocate(boost::context::stack_context& stack) noexcept {
    pool_->release(StackBounds{static_cast<std::byte*>(stack.sp) - stack.size, stack.size});
}

}  // namespace cvt::sim::detail
