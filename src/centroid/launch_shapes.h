// The two launch shapes of the volume kernels. Neither kernel kind tests bounds, so every edge in use
// must be a multiple of 32.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// One thread per voxel of an n-grid: x = blockIdx.x*32 + threadIdx.x, y = blockIdx.y*4 + threadIdx.y,
// z = blockIdx.z.
inline dim3 voxelGrid(int n) { return dim3(n / 32, n / 4, n); }
inline dim3 voxelBlock() { return dim3(32, 4, 1); }

// One warp per row along x: block (y, z) handles the row at y = blockIdx.x, z = blockIdx.y.
inline dim3 rowGrid(int n) { return dim3(n, n, 1); }
inline dim3 rowBlock() { return dim3(32, 1, 1); }

CVT_END_NAMESPACE
