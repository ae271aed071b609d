// Whether a usable GPU is present: compute capability 7.5 or later, as the build targets. Its memory
// is its own.
#include <dlfcn.h>
#include <unistd.h>

#include "../device.h"

CVT_BEGIN_NAMESPACE

namespace {
constexpr int minimumComputeCapability = 75;

// Whether an NVIDIA kernel driver or its user-space library is on this machine at all.
bool nvidiaDriverInstalled() {
    if (access("/proc/driver/nvidia/version", F_OK) == 0) return true;
    void* library = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}
}  // namespace

std::optional<std::string> unavailableReason() {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
        cudaGetLastError();  // a missing driver or device is an answer, not an error to carry on
        // Without any NVIDIA driver the runtime says its version is "insufficient", which sends a user
        // looking for a driver update on a machine that has no GPU at all.
        if ((status == cudaErrorInsufficientDriver || status == cudaErrorNoDevice) && !nvidiaDriverInstalled())
            return std::string("no NVIDIA driver or GPU found");
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
    int device = 0;
    checkCuda(cudaGetDevice(&device), "asking which CUDA device is in use");
    cudaDeviceProp properties{};
    checkCuda(cudaGetDeviceProperties(&properties, device), "querying the CUDA device in use");
    return properties.name;
}

void useDeviceOfRank(int localRank) {
    int count = 0;
    checkCuda(cudaGetDeviceCount(&count), "counting the CUDA devices");
    if (count > 1) checkCuda(cudaSetDevice(localRank % count), "choosing the CUDA device of this rank");
}

const char* backendName() { return "gpu"; }

bool deviceMemoryIsHostMemory() { return false; }

CVT_END_NAMESPACE
