// The whole life of the process on one backend.
#include <cstdio>
#include <new>

#include "buffers.h"

CVT_BEGIN_NAMESPACE

namespace {
constexpr int fullEdge = 256;
}

int runProgram() {
    try {
        allocateBuffers(fullEdge);
        releaseBuffers();
        std::fprintf(stderr, "cvt: only the device buffer set is built so far; no tessellation computed\n");
        return 2;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "cvt: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "cvt: out of host memory\n");
    }
    try {
        releaseBuffers();
    } catch (const Failure&) {
        // The first failure has been reported; a device in a failed state cannot free memory.
    }
    return 1;
}

CVT_END_NAMESPACE
