#include <cstdint>
#include <string>

#include "../host/launch_shapes.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// The kernels test no bounds: they need exactly one thread per line or column, tiles of 32 rows and
// the leading X Y Z codes of each buffer. An unusable gridSize would make them read and write outside
// the buffers, so it is refused before anything runs.
void requireLabellableGrid() {
    if (voronoiBuffers == nullptr || voronoiBuffers[0] == nullptr || voronoiBuffers[1] == nullptr)
        throw Failure("labelling needs the device buffer set, which is not allocated");
    if (!isOnSteps(gridSize) || uint64_t(gridSize.voxels()) * gridSize.codes.codeBytes() > siteVolumeBytes)
        throw Failure("cannot label grid " + shapeText(gridSize) + ": it must have " + stepsRule() +
                      " within the allocated volumes");
}

// The site volumes of the buffer set as codes of gridSize's type.
template <class Code>
Code* siteVolume(int which) {
    return codesIn<Code>(voronoiBuffers[which]);
}

}  // namespace

void launchFloodZ() {
    withCodeType(gridSize.codes.wide, [](auto code) {
        using Code = decltype(code);
        LAUNCH_KERNEL(kernelFloodZ<Code>, columnGrid(gridSize), lineBlock(), 0, siteVolume<Code>(voronoiIndex),
                      siteVolume<Code>(voronoiIndex ^ 1), gridSize);
    });
}

void launchMaurerAxis(const GridShape& frame, LineWeights weights) {
    withCodeType(frame.codes.wide, [&](auto code) {
        using Code = decltype(code);
        LAUNCH_KERNEL(kernelMaurerAxis<Code>, lineGrid(frame), lineBlock(), 0, siteVolume<Code>(voronoiIndex),
                      siteVolume<Code>(voronoiIndex ^ 1), frame, weights);
    });
}

void launchColorAxis(const GridShape& frame, LineWeights weights) {
    withCodeType(frame.codes.wide, [&](auto code) {
        using Code = decltype(code);
        LAUNCH_KERNEL(kernelColorAxis<Code>, queryGrid(frame), queryBlock(), 0, siteVolume<Code>(voronoiIndex ^ 1),
                      siteVolume<Code>(voronoiIndex), frame, weights);
    });
}

// The flood writes into the other buffer, which thereby becomes the selected one; each construction
// pass then writes the unselected buffer and each query pass writes back into the selected one, so
// the labelling ends in voronoiBuffers[voronoiIndex] with only the two volumes in use. The flood
// compares offsets along z alone, which no weight reorders. The first round's lines run along y with x
// first, on the grid X x Y x Z; its query pass writes the grid Y x X x Z (voxel (y, x, z) at
// y + Y (x + X z), codes with the y field highest). The second round's lines therefore run along x
// with y first, on that grid, and its query pass writes X x Y x Z again, codes in the grid's own layout.
void computeVoronoi(const AxisWeights& weights) {
    requireLabellableGrid();
    launchFloodZ();
    voronoiIndex ^= 1;
    launchMaurerAxis(gridSize, LineWeights{weights.x, weights.y, weights.z});
    launchColorAxis(gridSize, LineWeights{weights.x, weights.y, weights.z});
    launchMaurerAxis(gridSize.exchanged(), LineWeights{weights.y, weights.x, weights.z});
    launchColorAxis(gridSize.exchanged(), LineWeights{weights.y, weights.x, weights.z});
    currentSites = voronoiBuffers[voronoiIndex];
    scratchSites = voronoiBuffers[voronoiIndex ^ 1];
}

CVT_END_NAMESPACE
