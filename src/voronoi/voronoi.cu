#include <cstdint>
#include <string>

#include "../device/launch_shapes.h"
#include "../host/buffers.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// The kernels test no bounds: they need exactly N x N threads per pass, tiles of 32 rows and the
// N^3 leading elements of each buffer. An unusable gridSize would make them read and write outside
// the buffers, so it is refused before anything runs.
void requireLabellableGrid() {
    if (voronoiBuffers == nullptr || voronoiBuffers[0] == nullptr || voronoiBuffers[1] == nullptr)
        throw Failure("labelling needs the device buffer set, which is not allocated");
    const int n = gridSize;
    if (!isWorkableEdge(n) || uint64_t(n) * n * n * sizeof(int) > volumeBytes)
        throw Failure("cannot label a grid of edge " + std::to_string(n) +
                      ": it must be a multiple of 32 from 32 to 1024 within the allocated volumes");
}

}  // namespace

void launchFloodZ() {
    const int n = gridSize;
    LAUNCH_KERNEL(kernelFloodZ, lineGrid(n), lineBlock(), 0, voronoiBuffers[voronoiIndex],
                  voronoiBuffers[voronoiIndex ^ 1], n);
}

void launchMaurerAxis(LineWeights weights) {
    const int n = gridSize;
    LAUNCH_KERNEL(kernelMaurerAxis, lineGrid(n), lineBlock(), 0, voronoiBuffers[voronoiIndex],
                  voronoiBuffers[voronoiIndex ^ 1], n, weights);
}

void launchColorAxis(LineWeights weights) {
    const int n = gridSize;
    LAUNCH_KERNEL(kernelColorAxis, queryGrid(n), queryBlock(), 0,
                  voronoiBuffers[voronoiIndex ^ 1], voronoiBuffers[voronoiIndex], n, weights);
}

// The flood writes into the other buffer, which thereby becomes the selected one; each construction
// pass then writes the unselected buffer and each query pass writes back into the selected one, so
// the labelling ends in voronoiBuffers[voronoiIndex] with only the two volumes in use. The flood
// compares offsets along z alone, which no weight reorders. The first round's lines run along y with x
// first; the query pass exchanges the first two axes, so the second round's run along x with y first.
void computeVoronoi(const AxisWeights& weights) {
    requireLabellableGrid();
    launchFloodZ();
    voronoiIndex ^= 1;
    launchMaurerAxis(LineWeights{weights.x, weights.y, weights.z});
    launchColorAxis(LineWeights{weights.x, weights.y, weights.z});
    launchMaurerAxis(LineWeights{weights.y, weights.x, weights.z});
    launchColorAxis(LineWeights{weights.y, weights.x, weights.z});
    currentSites = voronoiBuffers[voronoiIndex];
    scratchSites = voronoiBuffers[voronoiIndex ^ 1];
}

CVT_END_NAMESPACE
