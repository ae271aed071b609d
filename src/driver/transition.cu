#include "../host/launch_shapes.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "fill.h"
#include "transition.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelZoomIn(const int* coarse, int* fine, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    int value = coarse[g.index(x, y, z)];
    // Coarse and fine grids share the layout of the full grid, whose fields hold the doubled
    // coordinates. Empty voxels go on unchanged.
    if (value >= 0) value = g.codes.encode(2 * g.codes.x(value), 2 * g.codes.y(value), 2 * g.codes.z(value));
    fine[g.doubled().index(2 * x, 2 * y, 2 * z)] = value;
}

void exchangeSiteVolumes() {
    voronoiIndex ^= 1;
    currentSites = voronoiBuffers[voronoiIndex];
    scratchSites = voronoiBuffers[voronoiIndex ^ 1];
}

void advanceLevel() {
    const GridShape coarse = gridSize, fine = gridSize.doubled();
    // The finer grid must fit the full-size volumes; past the full grid it would write beyond them.
    if (uint64_t(fine.voxels()) * 4 > volumeBytes) throw Failure("no level " + shapeText(fine) + " above the full grid");
    LAUNCH_KERNEL(kernelFill<SiteCode>, voxelGrid(fine), voxelBlock(), 0, scratchSites, EMPTY_SITE, fine);
    LAUNCH_KERNEL(kernelZoomIn, voxelGrid(coarse), voxelBlock(), 0, currentSites, scratchSites, coarse);
    exchangeSiteVolumes();
}

CVT_END_NAMESPACE
