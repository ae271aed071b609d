// Atomic additions to simulated device memory.
//
// On x86 every locked instruction costs some twenty cycles, far more than the addition it protects,
// and a float addition is a compare-and-swap loop around one. Yet an atomic only has to be atomic
// against the other host threads of a launch: the simulated threads of one host thread are fibers,
// which never interleave inside an addition. So memory is tracked in pages. During a launch, a page
// belongs to the first host thread that adds into it, and its owner adds with plain instructions.
// Another host thread that needs the page asks the owner to give it up. The owner does so only
// where it is in the middle of no addition: between blocks, and while it waits for a page itself.
// From then on the page is shared and every host thread uses locked instructions on it. A host
// thread that has finished its part of the launch gives up all its pages.
//
// A page's state is (launch epoch << 16) | tag, with tag = owner + 1 or `sharedTag`; a state of an
// earlier epoch is a page nobody owns yet. Only a host thread that has joined the launch writes a
// state of its epoch. Pages are hashed into a fixed table: pages that collide
// share one state, which can only make them shared sooner.
#pragma once

#include <atomic>
#include <cstdint>

namespace cvt::sim::detail {

constexpr unsigned atomicPageShift = 12;
constexpr uint32_t atomicPageStates = uint32_t{1} << 18;
constexpr uint32_t sharedTag = 0xFFFF;
// Epoch 0 is never used, so no page is ever in this state: the tag of a host thread outside a launch.
constexpr uint32_t notInLaunch = 1;

inline std::atomic<uint32_t> pageStates[atomicPageStates];
// The state of a page that this host thread owns in the current launch.
inline thread_local uint32_t ownedPageState = notInLaunch;

inline std::atomic<uint32_t>& pageStateOf(const void* address) {
    return pageStates[(reinterpret_cast<uintptr_t>(address) >> atomicPageShift) & (atomicPageStates - 1)];
}

// For a page this host thread does not own yet: takes it if nobody owns it, takes it over from an
// owner that has finished, and otherwise waits until the owner has given it up. Returns whether the
// page is now this host thread's own.
bool claimPage(std::atomic<uint32_t>& state);

template <class T>
T atomicFetchAdd(T* address, T value) {
    std::atomic<uint32_t>& state = pageStateOf(address);
    if (state.load(std::memory_order_relaxed) == ownedPageState || claimPage(state)) {
        const T old = *address;
        *address = old + value;
        return old;
    }
    return std::atomic_ref<T>(*address).fetch_add(value, std::memory_order_relaxed);
}

// The page ownership of one launch, shared by its host threads. Launches do not overlap.
class AtomicPagesOfLaunch {
public:
    // Room for `hostThreads`, the most that may join; fewer may.
    explicit AtomicPagesOfLaunch(unsigned hostThreads);
    ~AtomicPagesOfLaunch();
    AtomicPagesOfLaunch(const AtomicPagesOfLaunch&) = delete;
    AtomicPagesOfLaunch& operator=(const AtomicPagesOfLaunch&) = delete;

    // Each host thread of the launch, by its index: joins before its first block, gives up the pages
    // asked of it between blocks, and leaves after its last.
    void join(unsigned hostThread);
    void giveUpRequestedPages();
    void leave();

    struct HostThread;

private:
    friend bool claimPage(std::atomic<uint32_t>& state);
    uint32_t epoch_;
    HostThread* hostThreads_;
};

}  // namespace cvt::sim::detail
