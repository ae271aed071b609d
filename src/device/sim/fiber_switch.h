// Tells AddressSanitizer about every switch between fiber stacks, so that it tracks the right stack
// and reports real faults rather than false alarms. Without AddressSanitizer it compiles to nothing.
#pragma once

#include <cstddef>

#include "runtime.h"

#include <boost/context/stack_context.hpp>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CVT_FIBER_ANNOTATIONS 1
#endif

namespace cvt::sim {

// One per host thread: the scheduler runs on the thread's own stack and switches into fibers; each
// fiber switches only back to the scheduler. `fake` is the fiber's own slot for ASan's fake stack.
class FiberSwitch {
public:
#if defined(CVT_FIBER_ANNOTATIONS)
    void enter(const boost::context::stack_context& target) {
        __sanitizer_start_switch_fiber(&schedulerFake_, static_cast<char*>(target.sp) - target.size, target.size);
    }
    void returned() { __sanitizer_finish_switch_fiber(schedulerFake_, nullptr, nullptr); }
    void arrived(void* fake) { __sanitizer_finish_switch_fiber(fake, &schedulerBottom_, &schedulerSize_); }
    void leave(void** fake) { __sanitizer_start_switch_fiber(fake, schedulerBottom_, schedulerSize_); }
    void leaveForGood() { __sanitizer_start_switch_fiber(nullptr, schedulerBottom_, schedulerSize_); }

private:
    void* schedulerFake_ = nullptr;
    const void* schedulerBottom_ = nullptr;
    size_t schedulerSize_ = 0;
#else
    void enter(const boost::context::stack_context&) {}
    void returned() {}
    void arrived(void*) {}
    void leave(void**) {}
    void leaveForGood() {}
#endif
};

}  // namespace cvt::sim
