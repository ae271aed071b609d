// Execution of a simulated grid: blocks spread over the host cores, threads of a block as fibers.
//
// A block starts optimistically: its threads run one after another as a plain loop with the kernel
// inlined, on a fiber (the walker) that runs a whole chunk of blocks, so barrier-free kernels pay one
// fiber per chunk of blocks, not one per block. The first thread to reach a barrier upgrades the
// block: the threads before it have run to their end, that is, exited; it goes on on the walker, and
// every thread after it gets a fiber of its own. The threads then take turns in slot order, each
// running until it waits at a barrier or finishes.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include <boost/context/fiber.hpp>
#include <omp.h>

#include "faults.h"
#include "fiber_switch.h"
#include "launch.h"
#include "stack_pool.h"
#include "state.h"

namespace cvt::sim {
namespace {

namespace ctx = boost::context;
using detail::BlockFibers;
using detail::KernelFault;
using detail::PooledStack;
using detail::schedulerSlot;

constexpr unsigned maxThreadsPerBlock = 1024;
constexpr unsigned maxBlockDimXY = 1024;
constexpr unsigned maxBlockDimZ = 64;
constexpr unsigned maxGridDimX = 2147483647u;
constexpr unsigned maxGridDimYZ = 65535;
constexpr size_t maxSharedBytesPerBlock = 48 * 1024;

// The order in which a launch runs its blocks: the block that runs as the linear-th is
// (multiplier * linear + offset) mod count, a bijection since the multiplier is coprime to count.
// Linear order is multiplier 1 and offset 0.
struct BlockOrder {
    uint64_t count = 1, multiplier = 1, offset = 0;

    bool shuffled() const { return multiplier != 1 || offset != 0; }
    uint64_t operator()(uint64_t linear) const {
        return (uint64_t(static_cast<unsigned __int128>(multiplier) * linear % count) + offset) % count;
    }
};

std::atomic<uint64_t> blockOrderSeed{0};

uint64_t mixBits(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

BlockOrder blockOrderOf(uint64_t count) {
    const uint64_t seed = blockOrderSeed.load(std::memory_order_relaxed);
    if (seed == 0 || count < 2) return {count, 1, 0};
    BlockOrder order{count, mixBits(seed) % count, mixBits(~seed) % count};
    while (std::gcd(order.multiplier, count) != 1) order.multiplier = (order.multiplier + 1) % count;
    if (!order.shuffled()) order.offset = 1;  // a shuffle is never the linear order itself
    return order;
}

// Blocks [next, end) of a launch that no host thread has claimed yet.
struct BlockRange {
    std::atomic<uint64_t> next;
    uint64_t end;
};

// Everything one host thread needs to run blocks; reused across launches.
struct Worker : BlockFibers {
    ~Worker() { fibers.clear(); }  // unwind the fibers while everything they use still exists

    detail::AtomicPagesOfLaunch* atomicPages = nullptr;
    dim3 grid, block;
    BlockOrder order;
    detail::StackPool stacks;
    std::vector<std::max_align_t> dynamicShared;
    KernelFault ownFault;
};

// Every BlockFibers of the simulation is a Worker's.
Worker& workerOf(BlockFibers& fibers) { return static_cast<Worker&>(fibers); }

Worker& workerOfThisThread() {
    thread_local Worker worker;
    return worker;
}

uint3 linearToIndex(uint64_t linear, dim3 shape) {
    return uint3{static_cast<unsigned>(linear % shape.x),
                 static_cast<unsigned>(linear / shape.x % shape.y),
                 static_cast<unsigned>(linear / (uint64_t{shape.x} * shape.y))};
}

// Steps an index to the next one in linear order (x fastest) without dividing.
void nextIndex(uint3& index, dim3 shape) {
    if (++index.x < shape.x) return;
    index.x = 0;
    if (++index.y < shape.y) return;
    index.y = 0;
    ++index.z;
}

// The index of the block that runs as the linear-th, given the one before it.
uint3 blockRunningAs(uint64_t linear, uint3 previous, const Worker& worker) {
    if (worker.order.shuffled()) return linearToIndex(worker.order(linear), worker.grid);
    nextIndex(previous, worker.grid);
    return previous;
}

void failKernel(BlockFibers& fibers, std::string what) {
    Worker& worker = workerOf(fibers);
    worker.ownFault = KernelFault{std::move(what)};
    worker.fault = &worker.ownFault;
}

// The lanes of one warp whose __syncwarp is complete: those of a mask of which every lane has
// exited or waits with that same mask.
uint32_t completeWarpBarriers(const BlockFibers& block, unsigned warp) {
    const uint32_t waiting = block.warpWaitingLanes[warp], exited = block.exitedLanes[warp];
    const uint32_t* maskOf = &block.warpMaskOf[warp * warpSize];
    uint32_t complete = 0;
    for (uint32_t pending = waiting; pending != 0;) {
        const uint32_t mask = maskOf[std::countr_zero(pending)];
        uint32_t sameMask = 0;
        for (uint32_t lanes = mask & waiting; lanes != 0; lanes &= lanes - 1)
            if (maskOf[std::countr_zero(lanes)] == mask) sameMask |= lanes & -lanes;
        if ((mask & ~exited) == sameMask) complete |= sameMask;
        pending &= ~sameMask;
    }
    return complete;
}

// Starts the next round with the threads of the barriers that are complete. A thread that has exited
// counts as arrived everywhere (as PTX's exit does): the block barrier is complete once every other
// thread waits there. Returns false when nothing can be released: a deadlock, which a GPU would show
// as a hang.
bool releaseBarriers(BlockFibers& block) {
    block.queuePosition = 0;
    if (block.blockWaitCount > 0 && block.blockWaitCount + block.doneCount == block.threadCount) {
        block.blockWaitCount = 0;
        // Most barriers release the same threads as the one before.
        if (!block.queueHoldsLiveThreads || block.queuedAtDoneCount != block.doneCount) {
            block.runQueue.clear();
            for (unsigned slot = 0; slot < block.threadCount; ++slot)
                if (!block.hasExited(slot)) block.runQueue.push_back(slot);
            block.queueHoldsLiveThreads = true;
            block.queuedAtDoneCount = block.doneCount;
        }
        return true;
    }
    block.runQueue.clear();
    block.queueHoldsLiveThreads = false;
    for (unsigned warp = 0; warp < block.warpWaitingLanes.size(); ++warp) {
        if (block.warpWaitingLanes[warp] == 0) continue;
        const uint32_t complete = completeWarpBarriers(block, warp);
        block.warpWaitingLanes[warp] &= ~complete;
        for (uint32_t lanes = complete; lanes != 0; lanes &= lanes - 1)
            block.runQueue.push_back(warp * warpSize + std::countr_zero(lanes));
    }
    return !block.runQueue.empty();
}

std::string siteText(const std::source_location& site) {
    return std::string(site.file_name()) + ":" + std::to_string(site.line());
}

std::string deadlockText(const BlockFibers& block) {
    unsigned warpWaiters = 0;
    for (uint32_t lanes : block.warpWaitingLanes) warpWaiters += std::popcount(lanes);
    std::string text = "barrier deadlock: ";
    if (block.blockWaitCount > 0)
        text += std::to_string(block.blockWaitCount) + " threads wait at __syncthreads (" +
                siteText(block.blockBarrierSite) + ") while ";
    return text + std::to_string(warpWaiters) + " lanes wait at __syncwarp for lanes that never arrive there with the same mask";
}

// The walker: runs blocks [first, end) of the grid, each as a plain loop of its threads until one
// reaches a barrier, and then on fibers.
ctx::fiber walkChunk(Worker& worker, uint64_t first, uint64_t end, ctx::fiber&& came) {
    completeSwitch(nullptr, &worker.schedulerStack);
    worker.context(worker.switchingFrom) = std::move(came);
    try {
        uint3 block = linearToIndex(worker.order(first), worker.grid);
        for (uint64_t linear = first; linear < end && worker.fault == nullptr;
             ++linear, block = blockRunningAs(linear, block, worker)) {
            worker.atomicPages->giveUpRequestedPages();  // between blocks no addition is half done
            blockIdx = block;
            worker.upgraded = false;
            worker.kernel->runThreadsUntilBarrier(worker.kernel->context, worker);
            if (worker.upgraded) worker.finishThread();  // comes back once the whole block is done
        }
    } catch (const KernelFault& fault) {
        failKernel(worker, fault.what);
    }
    announceSwitch(nullptr, worker.schedulerStack);
    worker.switchingFrom = worker.walkerSlot;
    worker.current = schedulerSlot;
    return std::move(worker.scheduler);
}

void runChunk(Worker& worker, uint64_t first, uint64_t end) {
    if (worker.fibers.empty()) {
        worker.fibers.resize(1);
        worker.walkerSlot = 0;
        worker.stackOf.resize(std::max<size_t>(worker.stackOf.size(), 1));
        worker.fakeStackOf.resize(worker.stackOf.size(), nullptr);
    }
    worker.moveWalkerTo(0);  // a slot that every block has
    try {
        worker.fibers[0] = ctx::fiber(std::allocator_arg, PooledStack(worker.stacks, worker.stackOf[0]),
                                      [&worker, first, end](ctx::fiber&& came) {
                                          return walkChunk(worker, first, end, std::move(came));
                                      });
    } catch (const KernelFault& fault) {
        failKernel(worker, fault.what);
        return;
    }
    worker.current = schedulerSlot;
    worker.switchTo(0);  // returns when the chunk is done, or at a fault
    // After a fault the simulated threads may be anywhere in the kernel: unwind them all.
    if (worker.fault != nullptr) worker.fibers.clear();
}

cudaError_t checkConfiguration(dim3 grid, dim3 block, size_t sharedBytes) {
    const bool empty = grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0;
    const uint64_t threads = uint64_t{block.x} * block.y * block.z;
    if (empty || threads > maxThreadsPerBlock || block.x > maxBlockDimXY || block.y > maxBlockDimXY ||
        block.z > maxBlockDimZ || grid.x > maxGridDimX || grid.y > maxGridDimYZ || grid.z > maxGridDimYZ ||
        sharedBytes > maxSharedBytesPerBlock)
        return cudaErrorInvalidConfiguration;
    return cudaSuccess;
}

}  // namespace

void* dynamicSharedBase() {
    return detail::runningBlock == nullptr ? nullptr : workerOf(*detail::runningBlock).dynamicShared.data();
}

void setBlockOrderSeed(uint64_t seed) { blockOrderSeed.store(seed, std::memory_order_relaxed); }

namespace detail {

// Called by the first thread of the block to reach a barrier, on the walker: the threads before it
// have exited, and every thread after it gets a fiber.
void BlockFibers::upgrade() {
    Worker& worker = workerOf(*this);
    const unsigned first = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    upgraded = true;
    stackOf.resize(std::max<size_t>(stackOf.size(), threadCount));
    fakeStackOf.resize(stackOf.size(), nullptr);
    for (size_t slot = fibers.size(); slot < threadCount; ++slot) {
        fibers.resize(slot + 1);
        fibers[slot] = ctx::fiber(std::allocator_arg, PooledStack(worker.stacks, stackOf[slot]),
                                  [&worker](ctx::fiber&& came) -> ctx::fiber {
                                      completeSwitch(nullptr, nullptr);
                                      worker.context(worker.switchingFrom) = std::move(came);
                                      for (;;) {
                                          try {
                                              worker.kernel->runThreadsOnFiber();
                                          } catch (const KernelFault& fault) {
                                              failKernel(worker, fault.what);
                                              worker.finishThread();
                                          }
                                      }
                                  });
    }
    moveWalkerTo(first);
    current = first;

    runQueue.resize(threadCount - first);
    for (unsigned slot = first; slot < threadCount; ++slot) runQueue[slot - first] = slot;
    queuePosition = 0;  // `first` is running
    queueHoldsLiveThreads = true;
    queuedAtDoneCount = doneCount = first;
    blockWaitCount = 0;
    const unsigned warps = (threadCount + warpSize - 1) / warpSize;
    exitedLanes.assign(warps, 0);
    for (unsigned slot = 0; slot < first; ++slot) exitedLanes[slot / warpSize] |= 1u << slot % warpSize;
    if (threadCount % warpSize != 0) exitedLanes.back() |= ~0u << threadCount % warpSize;  // lanes it lacks
    warpWaitingLanes.assign(warps, 0);
    warpMaskOf.resize(warps * warpSize);
}

// The fiber parked at `slot`, with its stack, takes the walker's slot: fibers are interchangeable,
// each plays the slot it is resumed for.
void BlockFibers::moveWalkerTo(unsigned slot) {
    std::swap(fibers[walkerSlot], fibers[slot]);
    std::swap(stackOf[walkerSlot], stackOf[slot]);
    std::swap(fakeStackOf[walkerSlot], fakeStackOf[slot]);
    walkerSlot = slot;
}

// The round is over: once the block is done, the walker goes on with the chunk; otherwise the first
// thread of the next round, or, at a deadlock, the host thread's context with a fault.
unsigned BlockFibers::endRound() {
    if (doneCount == threadCount) return walkerSlot;
    if (!releaseBarriers(*this)) {
        failKernel(*this, deadlockText(*this));
        return schedulerSlot;
    }
    return runQueue.front();
}

// The first thread at a block barrier records its site; a later one must wait at the same site. (The
// same site can have two representations, from two translation units.)
void BlockFibers::arriveAtAnotherSite(const std::source_location& site) {
    const bool sameSite = site.line() == blockBarrierSite.line() && site.column() == blockBarrierSite.column() &&
                          std::string_view(site.file_name()) == blockBarrierSite.file_name();
    if (blockWaitCount > 0 && !sameSite)
        throw KernelFault{"threads of a block wait at different __syncthreads() call sites: " +
                          siteText(blockBarrierSite) + " and " + siteText(site)};
    blockBarrierSite = site;
}

void BlockFibers::laneOutsideMask(uint32_t mask) const {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", mask);
    throw KernelFault{"__syncwarp(" + std::string(hex) + ") called by lane " + std::to_string(current % warpSize) +
                      ", which its mask leaves out"};
}

void barrierOutsideKernel(const char* name) { throw KernelFault{std::string(name) + " called outside a kernel"}; }

cudaError_t runGrid(dim3 grid, dim3 block, size_t dynamicSharedBytes, const BoundKernel& kernel) {
    if (runningBlock != nullptr) throw KernelFault{"kernel launch from inside a running kernel"};
    // Launches from several host threads run one after another, as on CUDA's default stream: the
    // page states of the atomics, among others, serve one launch at a time.
    static std::mutex launchMutex;
    const std::lock_guard lock(launchMutex);
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    if (cudaError_t config = checkConfiguration(grid, block, dynamicSharedBytes); config != cudaSuccess)
        return recordError(config);
    if (injectedFailure(Operation::launch)) return recordError(cudaErrorLaunchFailure);
    if (kernel.hostFastPath != nullptr && fastPathsEnabled() && kernel.hostFastPath(grid, block, kernel.context)) {
        detail::countHostFastPathLaunch();
        return cudaSuccess;
    }

    const uint64_t blockCount = uint64_t{grid.x} * grid.y * grid.z;
    const unsigned threadCount = block.x * block.y * block.z;
    std::atomic<bool> faulted{false};
    std::string faultText;

    // Small grids run on one host thread: waking the others would cost more than it saves.
    const uint64_t smallGridThreads = 1 << 14;
    const int workers = blockCount * threadCount < smallGridThreads
                            ? 1
                            : std::max(1, std::min<int>(hostWorkerCount(), static_cast<int>(blockCount)));
    // Each host thread starts on a contiguous range of blocks, so that the memory its blocks use is
    // mostly its own (which keeps the pages it adds into its own), and goes on with the ranges of
    // the others once its own is done. Chunks are small enough to balance the load, large enough that
    // claiming one is rare.
    std::unique_ptr<BlockRange[]> ranges(new BlockRange[workers]);
    for (int w = 0; w < workers; ++w) {
        ranges[w].next = blockCount * w / workers;
        ranges[w].end = blockCount * (w + 1) / workers;
    }
    const uint64_t chunk = std::max<uint64_t>(1, blockCount / (uint64_t{16} * workers));
    const BlockOrder order = blockOrderOf(blockCount);
    detail::AtomicPagesOfLaunch atomicPages(workers);

#pragma omp parallel num_threads(workers)
    {
        Worker& worker = workerOfThisThread();
        worker.kernel = &kernel;
        worker.atomicPages = &atomicPages;
        atomicPages.join(omp_get_thread_num());
        worker.grid = grid;
        worker.block = block;
        worker.order = order;
        worker.threadCount = threadCount;
        worker.indexOf.resize(threadCount);
        for (unsigned slot = 0; slot < threadCount; ++slot) worker.indexOf[slot] = linearToIndex(slot, block);
        worker.dynamicShared.resize((dynamicSharedBytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        worker.fault = nullptr;
        blockDim = block;
        gridDim = grid;
        runningBlock = &worker;
        const int self = omp_get_thread_num();
        for (int r = 0; r < workers && !faulted.load(std::memory_order_relaxed); ++r) {
            BlockRange& range = ranges[(self + r) % workers];
            while (!faulted.load(std::memory_order_relaxed)) {
                const uint64_t first = range.next.fetch_add(chunk, std::memory_order_relaxed);
                if (first >= range.end) break;
                runChunk(worker, first, std::min(range.end, first + chunk));
                if (worker.fault != nullptr) {
                    if (!faulted.exchange(true)) faultText = worker.fault->what;
                    break;
                }
            }
        }
        runningBlock = nullptr;
        atomicPages.leave();
    }
    if (faulted) return recordKernelFault(faultText);
    return cudaSuccess;
}

}  // namespace detail
}  // namespace cvt::sim
