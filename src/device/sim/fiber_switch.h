// Tells AddressSanitizer about every switch between stacks, so that it tracks the stack in use and
// reports real faults rather than false alarms. Without AddressSanitizer it compiles to nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace cvt::sim {

struct StackBounds {
    const void* bottom = nullptr;
    size_t size = 0;
};

// Before a context switches to a stack; `fakeStack` is the leaving context's slot for ASan's fake
// stack, or null when the leaving context will never run again.
inline void announceSwitch([[maybe_unused]] void** fakeStack, [[maybe_unused]] const StackBounds& target) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(fakeStack, target.bottom, target.size);
#endif
}

// Right after a context gains control; `previous`, if given, receives the bounds of the stack that
// switched to it.
inline void completeSwitch([[maybe_unused]] void* fakeStack, [[maybe_unused]] StackBounds* previous) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack, previous ? &previous->bottom : nullptr,
                                    previous ? &previous->size : nullptr);
#endif
}

}  // namespace cvt::sim
