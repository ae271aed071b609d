// The fibers that run the threads of a block once it uses barriers, and the barriers themselves.
//
// A barrier passes control straight from the arriving thread to the next thread that can run. That
// switch is inline in the kernel on purpose. A fiber switch returns on another stack than it was
// called on, so every function return between the switch and the kernel would return to an address
// the processor did not predict (its return-address stack holds the other fiber's calls): each such
// level costs as much as the switch itself. Inlined, the resumed thread goes on in its kernel without
// returning from anything.
//
// The barriers follow CUDA's rules for compute capability 7.0 and later. __syncthreads waits for
// every thread of the block that has not exited, and all of them must wait at the same call site.
// __syncwarp(mask) waits for the lanes of the mask, which must include the caller and must all pass
// the same mask; lanes that have exited, or that the block does not have, count as arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <source_location>
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

// A host thread's contexts, by the slot (linear thread index) each plays. The walker, a fiber that
// runs a chunk of blocks, plays every thread of a block as a plain loop until one of them reaches a
// barrier; from then on the walker goes on as that thread, slot `walkerSlot`, and every later thread
// of the block runs on a fiber of its own (the earlier ones have exited). Fibers persist: after a
// thread finishes, its fiber waits to run the same slot of the next block that needs it. Control
// passes directly from a thread that waits or finishes to the next thread that can run, so a barrier
// costs one switch per thread; the host thread's own context is entered only at the end of a chunk
// or after a fault.
//
// A block on fibers runs in rounds: each thread of the round's queue runs, in slot order, until it
// waits at a barrier or finishes; then the barriers that every thread concerned has reached release
// their threads into the next round.
struct BlockFibers {
    const BoundKernel* kernel = nullptr;  // of the running launch
    unsigned threadCount = 0;
    std::vector<uint3> indexOf;  // threadIdx of each slot

    bool upgraded = false;  // whether the running block has reached a barrier
    std::vector<unsigned> runQueue;
    size_t queuePosition = 0;
    // Whether runQueue holds every thread that had not exited when doneCount was queuedAtDoneCount.
    bool queueHoldsLiveThreads = false;
    unsigned queuedAtDoneCount = 0;
    unsigned doneCount = 0;
    unsigned blockWaitCount = 0;
    std::source_location blockBarrierSite;  // where threads wait at __syncthreads (or last waited)
    // Per warp, one bit per lane: lanes that have exited (or do not exist), lanes at __syncwarp.
    std::vector<uint32_t> exitedLanes;
    std::vector<uint32_t> warpWaitingLanes;
    std::vector<uint32_t> warpMaskOf;  // per slot, the mask its __syncwarp passed
    const KernelFault* fault = nullptr;

    std::vector<boost::context::fiber> fibers;  // suspended contexts by slot (empty while running)
    boost::context::fiber scheduler;
    unsigned walkerSlot = 0;
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
        exitedLanes[current / warpSize] |= 1u << current % warpSize;
        switchTo(nextToRun());
    }

    // Nearly every arrival is at the site recorded already (by the threads before it, or by the same
    // barrier in the loop before), which one comparison of representations confirms.
    [[gnu::always_inline]] void arriveAtBlockBarrier(std::source_location site) {
        if (!upgraded) upgrade();
        if (std::memcmp(&site, &blockBarrierSite, sizeof site) != 0) [[unlikely]] arriveAtAnotherSite(site);
        ++blockWaitCount;
        switchTo(nextToRun());
    }

    [[gnu::always_inline]] void arriveAtWarpBarrier(uint32_t mask) {
        if (!upgraded) upgrade();
        const uint32_t lane = 1u << current % warpSize;
        if ((mask & lane) == 0) [[unlikely]] laneOutsideMask(mask);
        warpWaitingLanes[current / warpSize] |= lane;
        warpMaskOf[current] = mask;
        switchTo(nextToRun());
    }

    boost::context::fiber& context(unsigned slot) { return slot == schedulerSlot ? scheduler : fibers[slot]; }
    void** fakeStack(unsigned slot) { return slot == schedulerSlot ? &schedulerFakeStack : &fakeStackOf[slot]; }
    bool hasExited(unsigned slot) const { return exitedLanes[slot / warpSize] >> slot % warpSize & 1; }

    // Out of line, as they are rare and return before any switch: the first barrier of a block, which
    // puts the rest of the block on fibers; the end of a round, which releases the completed barriers.
    void upgrade();
    unsigned endRound();
    void moveWalkerTo(unsigned slot);
    void arriveAtAnotherSite(const std::source_location& site);
    [[noreturn]] void laneOutsideMask(uint32_t mask) const;
};

// The fibers of the block that this host thread runs; null outside a launch.
inline thread_local BlockFibers* runningBlock = nullptr;

[[noreturn]] void barrierOutsideKernel(const char* name);

[[gnu::always_inline]] inline BlockFibers& blockOfBarrier(const char* name) {
    BlockFibers* block = runningBlock;
    if (block == nullptr) barrierOutsideKernel(name);
    return *block;
}

}  // namespace cvt::sim::detail

namespace cvt::sim {

[[gnu::always_inline]] inline void __syncthreads(std::source_location site) {
    detail::blockOfBarrier("__syncthreads").arriveAtBlockBarrier(site);
}

[[gnu::always_inline]] inline void __syncwarp(unsigned mask) {
    detail::blockOfBarrier("__syncwarp").arriveAtWarpBarrier(mask);
}

}  // namespace cvt::sim
