// The whole life of the process on one backend: buffer set, density, tessellation, output.
#include "program.h"

#include <cstdlib>
#include <string>

#include "../device/host_memory.h"
#include "../driver/cvt_driver.h"
#include "buffers.h"
#include "density.h"
#include "output.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int fullEdge = 256;
constexpr int siteCount = 10000;
constexpr int maxLevels = 1;
constexpr int maxIterations = 10000;
constexpr size_t hostVolumeBytes = size_t{64} << 20;

int* hostResult = nullptr;
float* hostDensity = nullptr;

template <class T>
T* allocateHostVolume(const char* what) {
    void* memory = std::malloc(hostVolumeBytes);
    if (memory == nullptr)
        throw Failure(std::string("host allocation of ") + std::to_string(hostVolumeBytes) + " bytes for " + what +
                      " failed");
    populateLargeBuffer(memory, hostVolumeBytes);
    return static_cast<T*>(memory);
}

void freeHostVolumes() {
    std::free(hostDensity);
    std::free(hostResult);
    hostDensity = nullptr;
    hostResult = nullptr;
}

// The buffer set first, then the host volumes; also what a failed run cleans up.
void releaseEverything() {
    try {
        releaseBuffers();
    } catch (...) {
        freeHostVolumes();
        throw;
    }
    freeHostVolumes();
}

}  // namespace

int runProgram(int outputFd) {
    return runReportingFailure(
        "cvt",
        [outputFd] {
            allocateBuffers(fullEdge);
            hostResult = allocateHostVolume<int>("the result volume");
            hostDensity = allocateHostVolume<float>("the density volume");
            synthesizeDensity(hostDensity);
            runCvt(hostDensity, siteCount, hostResult, maxLevels, maxIterations);
            writeLabelling(hostResult, outputFd);
            releaseEverything();
            return 0;
        },
        releaseEverything);
}

CVT_END_NAMESPACE
