#include "slab.h"

#include "device/failure.h"

namespace cvt {

std::vector<Slab> slabsOf(int planes, int ranks) {
    if (ranks < 1 || planes < ranks)
        throw Failure("cannot split " + std::to_string(planes) + " planes among " + std::to_string(ranks) +
                      " ranks: every rank needs at least one plane");
    std::vector<Slab> slabs;
    int begin = 0;
    for (int rank = 0; rank < ranks; ++rank) {
        const int size = planes / ranks + (rank < planes % ranks ? 1 : 0);
        slabs.push_back(Slab{begin, begin + size});
        begin += size;
    }
    return slabs;
}

GridShape slabGrid(const GridShape& whole, Slab slab) {
    const int planes = (slab.planes() + 2 + sideStepZ - 1) / sideStepZ * sideStepZ;
    return GridShape(whole.x, whole.y, planes, whole.codes, slab.begin - slabFirstPlane, whole.z);
}

}  // namespace cvt
