// For the labelling passes' host fast paths, which walk a plane at a stride of a row or along chain
// links, where the hardware prefetcher does not look ahead.
#pragma once

#include <cstddef>

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// Asks the cache for the `count` integers from `values` on, one request per 64-byte line.
inline void prefetchIntegers(const int* values, size_t count) {
    for (size_t i = 0; i < count; i += 64 / sizeof(int)) __builtin_prefetch(values + i);
}

CVT_END_NAMESPACE
