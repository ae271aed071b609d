// The density pyramid: level l has half the edge of level l - 1, each voxel the mean of the 2x2x2
// block of finer voxels it covers.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// One thread per coarse voxel of the n-grid: the mean of its 8 voxels in the 2n-grid `fine`, summed in
// a fixed order. Grid (n/32, n/4, n), block (32, 4, 1).
__global__ void kernelCalcDensity(const float* fine, float* coarse, int n);

// Builds every level of the buffer set beyond level 0 from level 0, each from the one below it, as
// far as the edges are multiples of 32. Call while gridSize is the full edge (before the driver
// shifts it to a coarse level).
void buildDensityPyramid();

CVT_END_NAMESPACE
