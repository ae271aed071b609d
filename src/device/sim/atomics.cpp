#include "atomics.h"

#include <mutex>
#include <thread>
#include <vector>

namespace cvt::sim::detail {
namespace {

AtomicPagesOfLaunch* runningLaunch = nullptr;
uint32_t lastEpoch = 0;
thread_local unsigned hostThreadIndex = 0;

uint32_t epochOf(uint32_t state) { return state >> 16; }
uint32_t tagOf(uint32_t state) { return state & 0xFFFF; }

// A state carries its launch's epoch in 16 bits. When they run out, every state is reset to epoch 0,
// which no launch uses: a state of the current epoch must have been written in the current launch,
// or it could name as owner a host thread that holds no such page, or that never joins this launch.
uint32_t nextEpoch() {
    if (lastEpoch == 0xFFFF) {
        for (std::atomic<uint32_t>& state : pageStates) state.store(0, std::memory_order_relaxed);
        lastEpoch = 0;
    }
    return ++lastEpoch;
}

}  // namespace

struct AtomicPagesOfLaunch::HostThread {
    std::atomic<bool> finished{false};
    std::atomic<bool> asked{false};
    std::mutex mutex;
    std::vector<std::atomic<uint32_t>*> askedPages;

    void ask(std::atomic<uint32_t>* state) {
        std::lock_guard lock(mutex);
        askedPages.push_back(state);
        asked.store(true, std::memory_order_release);
    }
};

AtomicPagesOfLaunch::AtomicPagesOfLaunch(unsigned hostThreads)
    : epoch_(nextEpoch()), hostThreads_(new HostThread[hostThreads]) {
    runningLaunch = this;
}

AtomicPagesOfLaunch::~AtomicPagesOfLaunch() {
    runningLaunch = nullptr;
    delete[] hostThreads_;
}

void AtomicPagesOfLaunch::join(unsigned hostThread) {
    hostThreadIndex = hostThread;
    // Host threads beyond the tags own nothing: they always lock.
    ownedPageState = hostThread + 1 < sharedTag ? epoch_ << 16 | (hostThread + 1) : notInLaunch;
}

void AtomicPagesOfLaunch::giveUpRequestedPages() {
    HostThread& self = hostThreads_[hostThreadIndex];
    if (!self.asked.load(std::memory_order_acquire)) return;
    std::lock_guard lock(self.mutex);
    // Only the owner moves a page away from its own state, so the test and the store do not race.
    // The release store publishes this host thread's plain additions to whoever sees the page shared.
    for (std::atomic<uint32_t>* state : self.askedPages)
        if (state->load(std::memory_order_relaxed) == ownedPageState)
            state->store(epoch_ << 16 | sharedTag, std::memory_order_release);
    self.askedPages.clear();
    self.asked.store(false, std::memory_order_relaxed);
}

void AtomicPagesOfLaunch::leave() {
    ownedPageState = notInLaunch;
    hostThreads_[hostThreadIndex].finished.store(true, std::memory_order_release);
}

bool claimPage(std::atomic<uint32_t>& state) {
    AtomicPagesOfLaunch* launch = runningLaunch;
    if (launch == nullptr || ownedPageState == notInLaunch) return false;
    const uint32_t epoch = launch->epoch_;
    for (;;) {
        uint32_t seen = state.load(std::memory_order_acquire);
        if (seen == ownedPageState) return true;
        if (seen == (epoch << 16 | sharedTag)) return false;
        const unsigned owner = tagOf(seen) - 1;
        // Nobody owns the page in this launch, or its owner has finished and adds nothing more.
        if (epochOf(seen) != epoch || launch->hostThreads_[owner].finished.load(std::memory_order_acquire)) {
            if (state.compare_exchange_strong(seen, ownedPageState, std::memory_order_acq_rel)) return true;
            continue;
        }
        AtomicPagesOfLaunch::HostThread& holder = launch->hostThreads_[owner];
        holder.ask(&state);
        // The owner may itself be waiting here for a page of ours.
        while (state.load(std::memory_order_acquire) == seen && !holder.finished.load(std::memory_order_acquire)) {
            launch->giveUpRequestedPages();
            std::this_thread::yield();
        }
    }
}

}  // namespace cvt::sim::detail
