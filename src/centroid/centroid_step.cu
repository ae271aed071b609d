#include "../device/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

void launchCentroidStep() {
    if (levelIndex < 0 || levelIndex >= maxPyramidLevels || densityLevels[levelIndex] == nullptr)
        throw Failure("the centroid step needs density level " + std::to_string(levelIndex) + ", which does not exist");
    const int n = gridSize;
    float* const* m = momentBuffers;
    LAUNCH_KERNEL(kernelCalcProduct, voxelGrid(n), voxelBlock(), 0, densityLevels[levelIndex], m[0], m[1], m[2],
                  m[3], n);
    // The row site map lives in scratchSites until the fill below empties it for the moved sites.
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(n), rowBlock(), sizeof(int) * n, currentSites, scratchSites, n);
    LAUNCH_KERNEL(kernelTotalX, rowGrid(n), rowBlock(), 0, currentSites, m[0], m[1], m[2], m[3], n);
    LAUNCH_KERNEL(kernelTotalYZ, voxelGrid(n), voxelBlock(), 0, scratchSites, m[0], m[1], m[2], m[3], n);
    LAUNCH_KERNEL(kernelFill, voxelGrid(n), voxelBlock(), 0, scratchSites, EMPTY_SITE, n);
    // Over-relaxation can carry a site beyond its region's centroid, out of the box that holds the
    // density; the clamp keeps every site inside it.
    const GridBox box = levelBox(siteBox, levelIndex);
    LAUNCH_KERNEL(kernelUpdateCentroid, voxelGrid(n), voxelBlock(), 0, currentSites, scratchSites, m[0], m[1], m[2],
                  m[3], relaxation, box.x, box.y, box.z, n);
}

CVT_END_NAMESPACE
