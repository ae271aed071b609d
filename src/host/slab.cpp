#include "slab.h"

#include "device/failure.h"

namespace cvt {

std::vector<Slab> slabsOf(int planes, int ranks, int alignment) {
    // Whole units, and where that leaves a rank without one, the planes beyond them as a unit of their own.
    int units = planes / alignment;
    if (units < ranks && planes % alignment != 0) ++units;
    if (ranks < 1 || units < ranks)
        throw Failure("cannot split " + std::to_string(planes) + " planes among " + std::to_string(ranks) +
                      " ranks: every rank but the last needs at least " + std::to_string(alignment) +
                      (alignment == 1 ? " plane" : " planes (a power of two for the pyramid's levels)"));
    std::vector<Slab> slabs;
    int begin = 0;
    for (int rank = 0; rank < ranks; ++rank) {
        const int size = (units / ranks + (rank < units % ranks ? 1 : 0)) * alignment;
        slabs.push_back(Slab{begin, rank + 1 == ranks ? planes : begin + size});
        begin += size;
    }
    return slabs;
}

GridShape slabGrid(const GridShape& whole, Slab slab, int boxPlanes, int levels) {
    if (slab.begin == 0 && slab.end == boxPlanes) return whole;
    const int apart = 1 << (levels - 1), step = sideStepZ * apart;
    const int planes = (slab.planes() + 2 * apart + step - 1) / step * step;
    return GridShape(whole.x, whole.y, planes, whole.codes, slab.begin - apart, whole.z);
}

}  // namespace cvt
