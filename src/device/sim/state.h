// Process-wide state of the simulated device, shared by the runtime calls and the launches.
#pragma once

#include <string>

#include "runtime.h"

namespace cvt::sim {

// Remembers a failed call's status for cudaGetLastError and returns it.
cudaError_t recordError(cudaError_t error);
// A kernel broke the execution model: the device is left in a sticky failed state, as after a
// faulting kernel on a GPU, until cudaDeviceReset. The text says what happened.
cudaError_t recordKernelFault(const std::string& description);
cudaError_t stickyError();
// Number of host threads that run blocks of a launch.
int hostWorkerCount();

}  // namespace cvt::sim
