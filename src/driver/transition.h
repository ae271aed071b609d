// Carrying the sites to the grid of twice the edge, and exchanging the ping-pong pair of site volumes.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// One thread per coarse voxel of the n-grid: writes it, with a site's coordinates doubled, to the
// corner voxel (2x, 2y, 2z) of its block in the 2n-grid `fine`, which must be EMPTY_SITE throughout.
// Grid (n/32, n/4, n), block (32, 4, 1).
__global__ void kernelZoomIn(const int* coarse, int* fine, int n);

// Makes the other entry of voronoiBuffers current: flips voronoiIndex and sets currentSites and
// scratchSites from it.
void exchangeSiteVolumes();

// Carries the site volume in currentSites from the gridSize-grid to the grid of twice the edge, which
// then is in currentSites. gridSize is left for the caller to double.
void advanceLevel();

CVT_END_NAMESPACE
