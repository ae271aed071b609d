// For the labelling passes' host fast paths, which walk a plane at a stride of a row or along chain
// links, where the hardware prefetcher does not look ahead.
#pragma once

#include <cstddef>

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// Asks the cache for the `count` values from `values` on, one request per 64-byte line.
template <class Value>
void prefetchValues(const Value* values, size_t count) {
    for (size_t i = 0; i < count; i += 64 / sizeof(Value)) __builtin_prefetch(values + i);
}

CVT_END_NAMESPACE
