#include <cstdint>
#include <string>

#include "../host/launch_shapes.h"
#include "../host/buffers.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// The kernels test no bounds: they need exactly one thread per line or column, tiles of 32 rows and
// the leading X Y Z elements of each buffer. An unusable gridSize would make them read and write
// outside the buffers, so it is refused before anything runs.
void requireLabellableGrid() {
    if (voronoiBuffers == nullptr || voronoiBuffers[0] == nullptr || voronoiBuffers[1] == nullptr)
        throw Failure("labelling needs the device buffer set, which is not allocated");
    if (!isOnSteps(gridSize) || uint64_t(gridSize.voxels()) * sizeof(int) > volumeBytes)
        throw Failure("cannot label grid " + shapeText(gridSize) + ": it must have " + stepsRule() +
                      " within the allocated volumes");
}

}  // namespace

void launchFloodZ() {
    LAUNCH_KERNEL(kernelFloodZ, columnGrid(gridSize), lineBlock(), 0, voronoiBuffers[voronoiIndex],
                  voronoiBuffers[voronoiIndex ^ 1], gridSize);
}

void launchMaurerAxis(const GridShape& frame, LineWeights weights) {
    LAUNCH_KERNEL(kernelMaurerAxis, lineGrid(frame), lineBlock(), 0, voronoiBuffers[voronoiIndex],
                  voronoiBuffers[voronoiIndex ^ 1], frame, weights);
}

void launchColorAxis(const GridShape& frame, LineWeights weights) {
    LAUNCH_KERNEL(kernelColorAxis, queryGrid(frame), queryBlock(), 0, voronoiBuffers[voronoiIndex ^ 1],
                  voronoiBuffers[voronoiIndex], frame, weights);
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
