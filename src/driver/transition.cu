#include "../device/launch_shapes.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "fill.h"
#include "transition.h"

CVT_BEGIN_NAMESPACE

namespace {

// The three coordinate fields of a site code, each shifted left by one.
constexpr unsigned doubledFields = (unsigned(coordinateMask) << 21) | (unsigned(coordinateMask) << 11) |
                                   (unsigned(coordinateMask) << 1);

}  // namespace

__global__ void kernelZoomIn(const int* coarse, int* fine, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    int value = coarse[x + n * (y + n * z)];
    // Doubling every field at once: a shift of the whole code, with what crosses a field boundary
    // masked off. Empty voxels go on unchanged.
    if (value >= 0) value = int((unsigned(value) << 1) & doubledFields);
    const int m = 2 * n;
    fine[2 * x + m * (2 * y + m * 2 * z)] = value;
}

void exchangeSiteVolumes() {
    voronoiIndex ^= 1;
    currentSites = voronoiBuffers[voronoiIndex];
    scratchSites = voronoiBuffers[voronoiIndex ^ 1];
}

void advanceLevel() {
    const int coarseEdge = gridSize, fineEdge = 2 * gridSize;
    // The finer grid must fit the full-size volumes; past the full edge it would write beyond them.
    if (uint64_t(fineEdge) * fineEdge * fineEdge * 4 > volumeBytes)
        throw Failure("no level of edge " + std::to_string(fineEdge) + " above the full grid");
    LAUNCH_KERNEL(kernelFill, voxelGrid(fineEdge), voxelBlock(), 0, scratchSites, EMPTY_SITE, fineEdge);
    LAUNCH_KERNEL(kernelZoomIn, voxelGrid(coarseEdge), voxelBlock(), 0, currentSites, scratchSites, coarseEdge);
    exchangeSiteVolumes();
}

CVT_END_NAMESPACE
