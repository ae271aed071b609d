#include "weighted_sample.h"

#include <algorithm>
#include <cmath>
#include <queue>

namespace cvt {

uint64_t mixedBits(uint64_t seed, uint64_t index) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + index + 0x632BE59BD9B4E019ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Each item gets the key log(u) / w for a uniform u in (0, 1); the `count` largest keys are a sample
// without replacement with the successive-draw probabilities (Efraimidis and Spirakis). Every u comes
// from the item's own index, so no order of evaluation can change the sample.
std::vector<KeyedItem> largestKeys(const float* weights, size_t itemCount, size_t count, uint64_t seed,
                                   uint64_t indexBase) {
    const auto smaller = [](const KeyedItem& a, const KeyedItem& b) {
        return a.key > b.key || (a.key == b.key && a.index > b.index);
    };
    std::priority_queue<KeyedItem, std::vector<KeyedItem>, decltype(smaller)> largest(smaller);  // smallest on top
    for (size_t i = 0; i < itemCount; ++i) {
        if (!(weights[i] > 0.0f)) continue;
        const uint64_t index = indexBase + i;
        const double u = (double(mixedBits(seed, index) >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]
        const double key = std::log(u) / double(weights[i]);
        if (largest.size() < count) largest.push(KeyedItem{key, index});
        else if (count > 0 && key > largest.top().key) {
            largest.pop();
            largest.push(KeyedItem{key, index});
        }
    }
    std::vector<KeyedItem> items;
    items.reserve(largest.size());
    for (; !largest.empty(); largest.pop()) items.push_back(largest.top());
    return items;
}

std::vector<size_t> drawnIndices(std::vector<KeyedItem> items, size_t count) {
    std::sort(items.begin(), items.end(), [](const KeyedItem& a, const KeyedItem& b) {
        return a.key > b.key || (a.key == b.key && a.index < b.index);
    });
    std::vector<size_t> drawn;
    for (size_t i = 0; i < items.size() && i < count; ++i) drawn.push_back(size_t(items[i].index));
    std::sort(drawn.begin(), drawn.end());
    return drawn;
}

std::vector<size_t> drawByWeight(const float* weights, size_t itemCount, size_t count, uint64_t seed) {
    return drawnIndices(largestKeys(weights, itemCount, count, seed), count);
}

}  // namespace cvt
