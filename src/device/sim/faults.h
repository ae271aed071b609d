// Test-only fault injection: makes the n-th device allocation, copy or launch fail, or the device's
// memory small, so that tests can check that every failure path of the program reports and cleans up.
#pragma once

#include <cstddef>

#include "runtime.h"

namespace cvt::sim {

enum class Operation { allocation, copy, launch };

// The nth call (1-based, counted from now) of that kind fails: an allocation with "out of memory",
// a copy with "invalid argument", a launch with "unspecified launch failure". 0 disarms.
void injectFailure(Operation operation, unsigned nth);
// Called by the runtime at every operation of that kind; true when this one must fail.
bool injectedFailure(Operation operation);
// From now on the device has `bytes` of memory (0: the host's again).
void setDeviceCapacity(size_t bytes);
// Device allocations not freed yet: what a leak check compares.
size_t deviceAllocationCount();

}  // namespace cvt::sim
