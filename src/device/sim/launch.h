// Kernel launches on the CPU simulation.
#pragma once

#include <cstddef>
#include <tuple>

#include "fast_paths.h"
#include "runtime.h"

namespace cvt::sim {

namespace detail {

// A kernel with its arguments bound, seen by the scheduler through two entry points: the threads of
// a block as a plain loop, and, on a fiber of a block that uses barriers, one thread after another
// for as long as the launch lasts. A kernel with a host fast path has it here too.
struct BoundKernel {
    const void* context;
    void (*runThreadsUntilBarrier)(const void* context, const BlockFibers& block);
    void (*runThreadsOnFiber)();
    HostFastPath hostFastPath;
};

cudaError_t runGrid(dim3 grid, dim3 block, size_t dynamicSharedBytes, const BoundKernel& kernel);

// Runs the threads of a block in CUDA's linear order (x fastest) as a plain loop, with the kernel
// inlined: every block that reaches no barrier runs this way. Returns early once a thread has
// reached a barrier and finished: the threads after it are then on fibers of their own.
template <auto Kernel, class Arguments>
void runThreadsUntilBarrier(const void* context, const BlockFibers& block) {
    // A local copy: stores made by the kernel cannot alias it, so the arguments stay in registers.
    const Arguments arguments = *static_cast<const Arguments*>(context);
    const dim3 shape = blockDim;
    // Only threadIdx.x changes in the innermost loop.
    for (unsigned z = 0; z < shape.z; ++z) {
        threadIdx.z = z;
        for (unsigned y = 0; y < shape.y; ++y) {
            threadIdx.y = y;
            for (unsigned x = 0; x < shape.x; ++x) {
                threadIdx.x = x;
                std::apply(Kernel, arguments);
                if (block.upgraded) [[unlikely]] return;
            }
        }
    }
}

// The threads that one fiber of an upgraded block plays, launch after launch of this kernel: each
// thread's end hands control to the next thread inline (see block_fibers.h), and when this fiber is
// resumed it starts its next thread without returning from anything. Returns once the running
// launch is of another kernel.
template <auto Kernel, class Arguments>
[[gnu::flatten]] void runThreadsOnFiber() {
    BlockFibers& fibers = *runningBlock;
    do {
        std::apply(Kernel, *static_cast<const Arguments*>(fibers.kernel->context));
        fibers.finishThread();
    } while (fibers.kernel->runThreadsOnFiber == &runThreadsOnFiber<Kernel, Arguments>);
}

}  // namespace detail

// Runs Kernel over the grid and returns when every block has finished, as a launch on the default
// stream followed by a synchronisation would. Launch-configuration errors are returned without
// running anything, with the status CUDA gives for them.
template <auto Kernel, class... Args>
cudaError_t launch(dim3 grid, dim3 block, size_t dynamicSharedBytes, Args... args) {
    using Arguments = detail::KernelArguments<Kernel>;
    const Arguments arguments{args...};
    const detail::BoundKernel bound{&arguments, &detail::runThreadsUntilBarrier<Kernel, Arguments>,
                                    &detail::runThreadsOnFiber<Kernel, Arguments>, detail::hostFastPathOf<Kernel>};
    return detail::runGrid(grid, block, dynamicSharedBytes, bound);
}

}  // namespace cvt::sim
