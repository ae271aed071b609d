// The fibers that run the threads of a block once it uses barriers, and the barriers themselves.
//
// A barrier passes control straight from the arriving thread to the next thread that can run. That
// switch is inline in the kernel on purpose. A fiber switch returns on another stack than it was
// called on, so every function return between the switch and the kernel would return to an address
// the processor did not predict (its return-address stack holds the other fiber's calls): each such
// level costs as much as the switch itself. Inlined, the resumed thread goes on in its kernel without
// returning from anything.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <boost/context/fiber.hpp>

#include "fiber_switch.h"

namespace cvt::sim::detail {

struct BoundKernel;

// The host thread's own context, which starts each chunk of blocks and cleans up after a fault.
constexpr unsigned schedulerSlot = ~0u;

// Thrown inside a simulated thread when the kernel breaks a rule of the execution model; the launch
// then fails like a faulting kernel on a device.
struct KernelFault {
    std::string what;
};

enum class Barrier { block, warp };

// A host thread's contexts, by slot: slot 0 is the walker, a fiber that runs a chunk of blocks and
// plays thread 0 of each; slots 1..n-1 are the fibers of the other threads of an upgraded block.
// They persist: after a thread finishes, its fiber waits to run the same slot of the next upgraded
// block. Control passes directly from a thread that waits or finishes to the next thread that can
// run, so a barrier costs one switch per thread; the host thread's own context is entered only at
// the end of a chunk or after a fault.
//
// An upgraded block runs in rounds: each thread of the round's queue runs, in slot order, until it
// waits at a barrier or finishes; then the barriers that every thread concerned has reached release
// their threads into the next round.
struct BlockFibers {
    const BoundKernel* kernel = nullptr;  // of the running launch
    unsigned threadCount = 0;
    std::vector<uint3> indexOf;  // threadIdx of each slot

    bool upgraded = false;
    std::vector<unsigned> runQueue;
    size_t queuePosition = 0;
    unsigned doneCount = 0;
    unsigned blockWaitCount = 0;
    std::vector<unsigned> warpWaitCount;
    const KernelFault* fault = nullptr;

    std::vector<boost::context::fiber> fibers;  // suspended contexts by slot (empty while running)
    boost::context::fiber scheduler;
    unsigned current = schedulerSlot;  // the context running now
    unsigned switchingFrom = schedulerSlot;

    std::vector<StackBounds> stackOf;  // AddressSanitizer needs the bounds of the stack switched to
    std::vector<void*> fakeStackOf;    // and keeps a fake stack per context
    StackBounds schedulerStack;
    void* schedulerFakeStack = nullptr;

    // The context to run after the current thread waits or finishes.
    unsigned nextToRun() {
        if (fault != nullptr) return schedulerSlot;
        if (++queuePosition < runQueue.size()) return runQueue[queuePosition];
        return endRound();
    }

    // Passes control from the running context to `target` and returns when control comes back.
    [[gnu::always_inline]] void switchTo(unsigned target) {
        const unsigned self = current;
        if (target == self) return;
        switchingFrom = self;
        current = target;
        if (target != schedulerSlot) threadIdx = indexOf[target];
        announceSwitch(fakeStack(self), target == schedulerSlot ? schedulerStack : stackOf[target]);
        boost::context::fiber came = std::move(context(target)).resume();
        completeSwitch(*fakeStack(self), nullptr);
        context(switchingFrom) = std::move(came);
    }

    // A thread's end passes control on like a barrier does, inline for the same reason.
    [[gnu::always_inline]] void finishThread() {
        ++doneCount;
        switchTo(nextToRun());
    }

    [[gnu::always_inline]] void arrive(Barrier barrier, const char* name) {
        if (!upgraded) upgrade(name);
        if (barrier == Barrier::block) ++blockWaitCount;
        else ++warpWaitCount[current / warpSize];
        switchTo(nextToRun());
    }

    boost::context::fiber& context(unsigned slot) { return slot == schedulerSlot ? scheduler : fibers[slot]; }
    void** fakeStack(unsigned slot) { return slot == schedulerSlot ? &schedulerFakeStack : &fakeStackOf[slot]; }

    // Out of line, as they are rare and return before any switch: the first barrier of a block, which
    // gives every other thread a fiber; the end of a round, which releases the completed barriers.
    void upgrade(const char* barrierName);
    unsigned endRound();
};

// The fibers of the block that this host thread runs; null outside a launch.
inline thread_local BlockFibers* runningBlock = nullptr;

[[noreturn]] void barrierOutsideKernel(const char* name);

[[gnu::always_inline]] inline void arriveAtBarrier(Barrier barrier, const char* name) {
    BlockFibers* block = runningBlock;
    if (block == nullptr) barrierOutsideKernel(name);
    block->arrive(barrier, name);
}

}  // namespace cvt::sim::detail

namespace cvt::sim {

[[gnu::always_inline]] inline void __syncthreads() { detail::arriveAtBarrier(detail::Barrier::block, "__syncthreads"); }

[[gnu::always_inline]] inline void __syncwarp(unsigned) { detail::arriveAtBarrier(detail::Barrier::warp, "__syncwarp"); }

}  // namespace cvt::sim
