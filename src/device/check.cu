// Status checking shared by all host code of a backend.
#include "device.h"

CVT_BEGIN_NAMESPACE

void checkCuda(cudaError_t status, const char* operation) {
    if (status == cudaSuccess) return;
    std::string message = std::string(operation) + " failed: " + cudaGetErrorString(status);
#if !defined(__CUDACC__)
    // The simulation can say which rule of the execution model a faulting kernel broke.
    if (status == cudaErrorLaunchFailure && !lastFaultDescription().empty())
        message += " (" + lastFaultDescription() + ")";
#endif
    throw Failure(message);
}

void checkAllocation(cudaError_t status, const char* what, size_t bytes) {
    if (status == cudaSuccess) return;
    throw Failure("device allocation of " + std::to_string(bytes) + " bytes for " + what +
                  " failed: " + cudaGetErrorString(status));
}

CVT_END_NAMESPACE
