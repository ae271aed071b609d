// The number of set bits of a word, in kernels and host code alike.
#pragma once

#include <cstdint>

#include "qualifiers.h"

namespace cvt {

__host__ __device__ __forceinline__ int bitCount(uint32_t word) {
#if defined(__CUDA_ARCH__)
    return __popc(word);
#else
    return __builtin_popcount(word);
#endif
}

}  // namespace cvt
