// Buffers of whole volumes, populated in one call rather than faulted in page by page (see
// populateLargeBuffer).
#pragma once

#include <cstddef>
#include <vector>

#include "device/host_memory.h"

namespace cvt::formats {

// Resizes an empty vector to `count` elements, populating a large one before it is zeroed.
template <class T>
void resizeLarge(std::vector<T>& vector, size_t count) {
    vector.reserve(count);
    populateLargeBuffer(vector.data(), count * sizeof(T));
    vector.resize(count);
}

}  // namespace cvt::formats
