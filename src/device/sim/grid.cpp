// Execution of a simulated grid: blocks spread over the host cores, threads of a block as fibers.
//
// A block starts optimistically: its thread 0 runs on a fiber, the other threads as a plain loop.
// If thread 0 finishes without reaching a barrier, no thread of the block can reach one either
// (CUDA requires a barrier to be reached by the whole block or by none of it), so the block costs
// one function call per thread. If thread 0 reaches a barrier, the block is upgraded: every other
// thread gets a fiber of its own and a round-robin scheduler releases the barriers. The fiber that
// ran thread 0 is the worker fiber, which walks a whole chunk of blocks, so barrier-free kernels pay
// one fiber per chunk of blocks, not one per block.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <boost/context/fiber.hpp>
#include <sanitizer/asan_interface.h>

#include "faults.h"
#include "fiber_switch.h"
#include "launch.h"
#include "state.h"

namespace cvt::sim {
namespace {

namespace ctx = boost::context;

constexpr unsigned maxThreadsPerBlock = 1024;
constexpr unsigned maxBlockDimXY = 1024;
constexpr unsigned maxBlockDimZ = 64;
constexpr unsigned maxGridDimX = 2147483647u;
constexpr unsigned maxGridDimYZ = 65535;
constexpr size_t maxSharedBytesPerBlock = 48 * 1024;

enum class ThreadState : unsigned char { runnable, atBlockBarrier, atWarpBarrier, done };

// Thrown inside a simulated thread when the kernel breaks a rule of the execution model; the
// launch then fails like a faulting kernel on a device.
struct KernelFault {
    std::string what;
};

// Fiber stacks are recycled within a worker: blocks of one launch need the same number of them.
class StackPool {
public:
    ctx::stack_context allocate() {
        ctx::stack_context& stack = lastAllocated;
        stack.size = stackBytes;
        if (free_.empty()) {
            owned_.push_back(std::unique_ptr<std::byte[]>(new std::byte[stackBytes]));  // left uninitialised
            stack.sp = owned_.back().get() + stackBytes;
        } else {
            stack.sp = free_.back();
            free_.pop_back();
        }
        return stack;
    }
    // A fiber that is unwound or never returns leaves AddressSanitizer's poison of its frames on the
    // stack; the next fiber on the same memory must not inherit it.
    void release(ctx::stack_context& stack) {
        ASAN_UNPOISON_MEMORY_REGION(static_cast<std::byte*>(stack.sp) - stack.size, stack.size);
        free_.push_back(stack.sp);
    }

    ctx::stack_context lastAllocated;

private:
#if defined(__SANITIZE_ADDRESS__)
    static constexpr size_t stackBytes = 256 * 1024;
#else
    static constexpr size_t stackBytes = 64 * 1024;
#endif
    std::vector<std::unique_ptr<std::byte[]>> owned_;
    std::vector<void*> free_;
};

class PooledStack {
public:
    explicit PooledStack(StackPool& pool) : pool_(&pool) {}
    ctx::stack_context allocate() { return pool_->allocate(); }
    void deallocate(ctx::stack_context& stack) noexcept { pool_->release(stack); }

private:
    StackPool* pool_;
};

// Everything one host thread needs to run blocks; reused across launches. The fibers of threads
// 1..n-1 persist: after finishing a thread they wait to run the same slot of the next upgraded block.
struct Worker {
    ~Worker() { threads.clear(); }  // unwind the fibers while their stacks still exist

    const detail::BoundKernel* kernel = nullptr;
    dim3 grid, block;
    unsigned threadCount = 0;

    bool upgraded = false;  // the current block runs every thread on its own fiber
    unsigned current = 0;   // linear index of the running thread of an upgraded block
    std::vector<ThreadState> states;
    std::vector<uint3> indexOf;  // threadIdx of each slot
    std::vector<ctx::fiber> threads;  // slot 0 stays empty: thread 0 runs on the worker fiber
    std::vector<ctx::stack_context> stackOf;  // per slot; slot 0 is the worker fiber's
    std::vector<void*> fakeStackOf;           // per slot, for AddressSanitizer
    StackPool stacks;  // declared before the fibers that run on its stacks
    ctx::fiber scheduler;             // where a suspended simulated thread returns to
    FiberSwitch switcher;

    std::vector<std::max_align_t> dynamicShared;
    const KernelFault* fault = nullptr;
    KernelFault ownFault;
};

thread_local Worker* currentWorker = nullptr;

Worker& workerOfThisThread() {
    thread_local Worker worker;
    return worker;
}

uint3 linearToIndex(uint64_t linear, dim3 shape) {
    return uint3{static_cast<unsigned>(linear % shape.x),
                 static_cast<unsigned>(linear / shape.x % shape.y),
                 static_cast<unsigned>(linear / (uint64_t{shape.x} * shape.y))};
}

// Suspends the running simulated thread and returns to the scheduler of its block.
void suspend(Worker& worker) {
    const unsigned slot = worker.current;
    worker.switcher.leave(&worker.fakeStackOf[slot]);
    worker.scheduler = std::move(worker.scheduler).resume();
    worker.switcher.arrived(worker.fakeStackOf[slot]);
}

void failKernel(Worker& worker, std::string what) {
    worker.ownFault = KernelFault{std::move(what)};
    worker.fault = &worker.ownFault;
}

void arriveAtBarrier(ThreadState kind, const char* name) {
    Worker* worker = currentWorker;
    if (worker == nullptr) throw KernelFault{std::string(name) + " called outside a kernel"};
    if (!worker->upgraded) {
        // Only thread 0 runs on a fiber before the upgrade; any other thread arriving here means
        // that thread 0 finished without reaching this barrier.
        if (threadIdx.x != 0 || threadIdx.y != 0 || threadIdx.z != 0) {
            throw KernelFault{std::string("barrier ") + name + " reached by some threads of a block but not by thread 0"};
        }
        worker->upgraded = true;
        worker->current = 0;
    }
    worker->states[worker->current] = kind;
    suspend(*worker);
}

void runThreadOnFiber(Worker& worker, unsigned slot) {
    try {
        worker.kernel->runThread(worker.kernel->context);
    } catch (const KernelFault& fault) {
        failKernel(worker, fault.what);
    }
    worker.states[slot] = ThreadState::done;
}

bool allDone(const Worker& worker) {
    return std::all_of(worker.states.begin(), worker.states.end(),
                       [](ThreadState state) { return state == ThreadState::done; });
}

// Releases the threads waiting at a barrier that every thread concerned has reached: the block
// barrier once every thread of the block waits there, a warp barrier once every lane of the warp
// does. A thread that has finished never arrives, as CUDA requires a barrier to be reached by all.
// Returns false when nothing can be released: a deadlock, which a GPU would show as a hang.
bool releaseBarriers(Worker& worker) {
    const auto arrivedAll = [](auto first, auto last, ThreadState barrier) {
        return std::all_of(first, last, [barrier](ThreadState state) { return state == barrier; });
    };
    if (arrivedAll(worker.states.begin(), worker.states.end(), ThreadState::atBlockBarrier)) {
        std::fill(worker.states.begin(), worker.states.end(), ThreadState::runnable);
        return true;
    }
    bool released = false;
    for (unsigned warpStart = 0; warpStart < worker.threadCount; warpStart += warpSize) {
        const auto lanes = worker.states.begin() + warpStart;
        const auto lanesEnd = worker.states.begin() + std::min(worker.threadCount, warpStart + warpSize);
        if (!arrivedAll(lanes, lanesEnd, ThreadState::atWarpBarrier)) continue;
        std::fill(lanes, lanesEnd, ThreadState::runnable);
        released = true;
    }
    return released;
}

void resumeThread(Worker& worker, ctx::fiber& thread0, unsigned slot) {
    worker.current = slot;
    threadIdx = worker.indexOf[slot];
    ctx::fiber& target = slot == 0 ? thread0 : worker.threads[slot];
    worker.switcher.enter(worker.stackOf[slot]);
    target = std::move(target).resume();
    worker.switcher.returned();
}

// Drives an upgraded block until every thread is done. Thread 0 is the suspended worker fiber; it is
// left suspended after it finishes so that the caller can let it go on with the chunk.
void runUpgradedBlock(Worker& worker, ctx::fiber& thread0) {
    const unsigned count = worker.threadCount;
    if (worker.threads.size() < count) {
        worker.stackOf.resize(count);
        worker.fakeStackOf.resize(count, nullptr);
        for (unsigned slot = std::max<unsigned>(1, worker.threads.size()); slot < count; ++slot) {
            worker.threads.resize(slot + 1);
            worker.threads[slot] = ctx::fiber(std::allocator_arg, PooledStack(worker.stacks),
                                              [&worker, slot](ctx::fiber&& scheduler) -> ctx::fiber {
                                                  worker.scheduler = std::move(scheduler);
                                                  worker.switcher.arrived(nullptr);
                                                  for (;;) {
                                                      runThreadOnFiber(worker, slot);
                                                      suspend(worker);
                                                  }
                                              });
            worker.stackOf[slot] = worker.stacks.lastAllocated;
        }
    }
    for (unsigned slot = 1; slot < count; ++slot) worker.states[slot] = ThreadState::runnable;
    while (worker.fault == nullptr) {
        // One sweep runs every runnable thread until it waits at a barrier or finishes.
        for (unsigned slot = 0; slot < count && worker.fault == nullptr; ++slot)
            if (worker.states[slot] == ThreadState::runnable) resumeThread(worker, thread0, slot);
        if (worker.fault != nullptr || allDone(worker)) break;
        if (!releaseBarriers(worker))
            failKernel(worker, "barrier deadlock: threads of a block wait at barriers that cannot complete");
    }
    // The fibers of a faulted block may be anywhere in the kernel: unwind them all.
    if (worker.fault != nullptr) worker.threads.clear();
}

void runChunk(Worker& worker, uint64_t firstBlock, uint64_t endBlock) {
    ctx::fiber walker(std::allocator_arg, PooledStack(worker.stacks), [&](ctx::fiber&& scheduler) {
        worker.scheduler = std::move(scheduler);
        worker.switcher.arrived(nullptr);
        try {
            for (uint64_t linear = firstBlock; linear < endBlock && worker.fault == nullptr; ++linear) {
                blockIdx = linearToIndex(linear, worker.grid);
                threadIdx = uint3{0, 0, 0};
                worker.upgraded = false;
                std::fill(worker.states.begin(), worker.states.end(), ThreadState::runnable);
                worker.kernel->runThread(worker.kernel->context);
                if (!worker.upgraded) {
                    worker.kernel->runThreadsFrom(worker.kernel->context, 1);
                } else {
                    worker.states[0] = ThreadState::done;
                    suspend(worker);  // comes back once the whole block is done
                }
            }
        } catch (const KernelFault& fault) {
            failKernel(worker, fault.what);
        }
        worker.switcher.leaveForGood();
        return std::move(worker.scheduler);
    });
    worker.stackOf[0] = worker.stacks.lastAllocated;
    worker.current = 0;
    worker.switcher.enter(worker.stackOf[0]);
    walker = std::move(walker).resume();
    worker.switcher.returned();
    while (walker) {
        if (worker.fault == nullptr) runUpgradedBlock(worker, walker);
        if (worker.fault != nullptr) {
            walker = ctx::fiber();  // unwinds the chunk walk
            break;
        }
        worker.current = 0;
        worker.switcher.enter(worker.stackOf[0]);
        walker = std::move(walker).resume();
        worker.switcher.returned();
    }
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
    return currentWorker == nullptr ? nullptr : currentWorker->dynamicShared.data();
}

void __syncthreads() { arriveAtBarrier(ThreadState::atBlockBarrier, "__syncthreads"); }

void __syncwarp(unsigned) { arriveAtBarrier(ThreadState::atWarpBarrier, "__syncwarp"); }

namespace detail {

cudaError_t runGrid(dim3 grid, dim3 block, size_t dynamicSharedBytes, const BoundKernel& kernel) {
    if (cudaError_t sticky = stickyError(); sticky != cudaSuccess) return recordError(sticky);
    if (cudaError_t config = checkConfiguration(grid, block, dynamicSharedBytes); config != cudaSuccess)
        return recordError(config);
    if (injectedFailure(Operation::launch)) return recordError(cudaErrorLaunchFailure);

    const uint64_t blockCount = uint64_t{grid.x} * grid.y * grid.z;
    const unsigned threadCount = block.x * block.y * block.z;
    std::atomic<uint64_t> nextBlock{0};
    std::atomic<bool> faulted{false};
    std::string faultText;

    const int workers = std::max(1, std::min<int>(hostWorkerCount(), static_cast<int>(blockCount)));
    // Chunks are small enough to balance the load, large enough that claiming one is rare.
    const uint64_t chunk = std::max<uint64_t>(1, blockCount / (uint64_t{16} * workers));

#pragma omp parallel num_threads(workers)
    {
        Worker& worker = workerOfThisThread();
        worker.kernel = &kernel;
        worker.grid = grid;
        worker.block = block;
        worker.threadCount = threadCount;
        worker.states.assign(threadCount, ThreadState::runnable);
        if (worker.stackOf.empty()) {
            worker.stackOf.resize(1);
            worker.fakeStackOf.resize(1, nullptr);
        }
        worker.indexOf.resize(threadCount);
        for (unsigned slot = 0; slot < threadCount; ++slot) worker.indexOf[slot] = linearToIndex(slot, block);
        worker.dynamicShared.resize((dynamicSharedBytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        worker.fault = nullptr;
        blockDim = block;
        gridDim = grid;
        currentWorker = &worker;
        while (!faulted.load(std::memory_order_relaxed)) {
            const uint64_t first = nextBlock.fetch_add(chunk, std::memory_order_relaxed);
            if (first >= blockCount) break;
            runChunk(worker, first, std::min(blockCount, first + chunk));
            if (worker.fault != nullptr) {
                if (!faulted.exchange(true)) faultText = worker.fault->what;
                break;
            }
        }
        currentWorker = nullptr;
    }
    if (faulted) return recordKernelFault(faultText);
    return cudaSuccess;
}

}  // namespace detail
}  // namespace cvt::sim
