// The stacks of the fibers that play simulated threads.
#pragma once

#include <cstddef>
#include <vector>

#include <boost/context/stack_context.hpp>

#include "runtime.h"  // declares the backend namespace inline; StackBounds, KernelFault

namespace cvt::sim::detail {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t fiberStackBytes = 256 * 1024;
#else
constexpr size_t fiberStackBytes = 64 * 1024;
#endif

// Fiber stacks are recycled within a worker: blocks of one launch need the same number of them.
// Under each stack lies an inaccessible guard page, so that a thread that overflows its stack
// crashes at once instead of silently overwriting a neighbouring one. Each stack's top is offset by
// a different number of cache lines: with equal offsets the saved contexts and top frames of all
// fibers of a block would compete for the same few cache sets.
class StackPool {
public:
    StackPool() = default;
    ~StackPool();
    StackPool(const StackPool&) = delete;
    StackPool& operator=(const StackPool&) = delete;

    // Throws KernelFault when the memory cannot be mapped.
    StackBounds allocate();
    void release(const StackBounds& stack);

private:
    struct Mapping {
        void* base;
        size_t bytes;
    };
    std::vector<Mapping> mappings_;
    std::vector<StackBounds> free_;
};

// Boost.Context's stack allocator interface over the pool; records the bounds of the stack it hands
// out, which AddressSanitizer needs at every switch to that stack.
class PooledStack {
public:
    PooledStack(StackPool& pool, StackBounds& bounds) : pool_(&pool), bounds_(&bounds) {}
    boost::context::stack_context allocate();
    void deallocate(boost::context::stack_context& stack) noexcept;

private:
    StackPool* pool_;
    StackBounds* bounds_;
};

}  // namespace cvt::sim::detail
