// Whether a usable GPU is present: compute capability 7.5 or later, as the build targets. Its memory
// is its own.
#include "../device.h"

CVT_BEGIN_NAMESPACE

namespace {
constexpr int minimumComputeCapability = 75;
}

std::optional<std::string> unavailableReason() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
        cudaGetLastError();  // a missing driver or device is an answer, not an error to carry on
        return std::string("no usable CUDA device (") + cudaGetErrorString(status) + ")";
    }
    if (count == 0) return std::string("no CUDA device present");
    cudaDeviceProp properties{};
    checkCuda(cudaGetDeviceProperties(&properties, 0), "querying CUDA device 0");
    const int capability = properties.major * 10 + properties.minor;
    if (capability < minimumComputeCapability)
        return std::string(properties.name) + " has compute capability " + std::to_string(properties.major) + "." +
               std::to_string(properties.minor) + ", below the 7.5 this program needs";
    return std::nullopt;
}

std::string deviceName() {
    cudaDeviceProp properties{};
    checkCuda(cudaGetDeviceProperties(&properties, 0), "querying CUDA device 0");
    return properties.name;
}

const char* backendName() { return "gpu"; }

bool deviceMemoryIsHostMemory() { return false; }

CVT_END_NAMESPACE
