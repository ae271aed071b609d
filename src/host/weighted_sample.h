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

// Draws spread over several parts of the items (the slabs of a volume): each part keeps its `count`
// items of largest key, with their indices counted from `indexBase`, and drawnIndices picks the
// `count` largest keys of all of them (the smaller index first where keys tie) in increasing index
// order, the draw that drawByWeight makes on all the items at once.
struct KeyedItem {
    double key;
    uint64_t index;
};
std::vector<KeyedItem> largestKeys(const float* weights, size_t itemCount, size_t count, uint64_t seed,
                                   uint64_t indexBase = 0);
std::vector<size_t> drawnIndices(std::vector<KeyedItem> items, size_t count);

// A 64-bit mix of a seed and an index (splitmix64's finaliser): independent-looking values for
// neighbouring indices, the same on every run.
uint64_t mixedBits(uint64_t seed, uint64_t index);

}  // namespace cvt
