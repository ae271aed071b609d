// Drawing distinct items with probability proportional to their weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvt {

// Draws `count` distinct indices of `weights` (items of weight 0 are never drawn) by successive draws
// without replacement: each draw picks a remaining item with probability proportional to its weight.
// The result depends only on the weights, the count and the seed, and is in increasing index order.
// Returns fewer indices than asked only when fewer items have a positive weight.
std::vector<size_t> drawByWeight(const float* weights, size_t itemCount, size_t count, uint64_t seed);

// A 64-bit mix of a seed and an index (splitmix64's finaliser): independent-looking values for
// neighbouring indices, the same on every run.
uint64_t mixedBits(uint64_t seed, uint64_t index);

}  // namespace cvt
