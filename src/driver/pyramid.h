// The density pyramid: level l has half the sides of level l - 1, each voxel the mean of the 2x2x2
// block of finer voxels it covers.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

// One thread per voxel of the coarse grid g: the mean of its 8 voxels in `fine`, the grid g.doubled(),
// summed in a fixed order. Grid voxelGrid(g), block voxelBlock().
__global__ void kernelCalcDensity(const float* fine, float* coarse, GridShape g);

// Builds every level of the buffer set beyond level 0 from level 0, each from the one below it (the
// levels of grid_shape.h). Call while gridSize is the full grid (before the driver shifts it to a
// coarse level).
void buildDensityPyramid();

CVT_END_NAMESPACE
