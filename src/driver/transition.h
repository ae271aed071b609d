// Carrying the sites to the grid of twice the edge, and exchanging the ping-pong pair of site volumes.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

// One thread per voxel of the coarse grid g: writes it, with a site's coordinates doubled, to the
// corner voxel (2x, 2y, 2z) of its block in `fine`, the grid g.doubled(), which must be EMPTY_SITE
// throughout. Grid voxelGrid(g), block voxelBlock().
__global__ void kernelZoomIn(const int* coarse, int* fine, GridShape g);

// Makes the other entry of voronoiBuffers current: flips voronoiIndex and sets currentSites and
// scratchSites from it.
void exchangeSiteVolumes();

// Carries the site volume in currentSites from gridSize to gridSize.doubled(), which then is in
// currentSites. gridSize is left for the caller to double.
void advanceLevel();

CVT_END_NAMESPACE
