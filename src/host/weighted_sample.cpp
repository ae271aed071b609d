#include "weighted_sample.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <utility>

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
std::vector<size_t> drawByWeight(const float* weights, size_t itemCount, size_t count, uint64_t seed) {
    using Keyed = std::pair<double, size_t>;
    std::priority_queue<Keyed, std::vector<Keyed>, std::greater<Keyed>> largest;  // smallest key on top
    for (size_t i = 0; i < itemCount; ++i) {
        if (!(weights[i] > 0.0f)) continue;
        const double u = (double(mixedBits(seed, i) >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]
        const double key = std::log(u) / double(weights[i]);
        if (largest.size() < count) largest.emplace(key, i);
        else if (count > 0 && key > largest.top().first) {
            largest.pop();
            largest.emplace(key, i);
        }
    }
    std::vector<size_t> drawn;
    drawn.reserve(largest.size());
    for (; !largest.empty(); largest.pop()) drawn.push_back(largest.top().second);
    std::sort(drawn.begin(), drawn.end());
    return drawn;
}

}  // namespace cvt
