// The launch shapes of the program's kernels. No kernel tests bounds, and a launch on a grid whose
// sides are off their steps (grid_shape.h) would silently leave part of the volume untouched or run
// past it, so the shapes refuse such a grid.
#pragma once

#include <string>

#include "../device/device.h"
#include "grid_shape.h"

CVT_BEGIN_NAMESPACE

inline const GridShape& launchableShape(const GridShape& g) {
    if (!isOnSteps(g)) throw Failure("grid " + shapeText(g) + " does not have " + stepsRule());
    return g;
}

// One thread per voxel: x = blockIdx.x*32 + threadIdx.x, y = blockIdx.y*4 + threadIdx.y, z = blockIdx.z.
inline dim3 voxelGrid(const GridShape& g) { return dim3(launchableShape(g).x / 32, g.y / 4, g.z); }
inline dim3 voxelBlock() { return dim3(32, 4, 1); }

// One thread per column along z, in blocks of the voxel shape: (x, y) = (blockIdx.x*32 + threadIdx.x,
// blockIdx.y*4 + threadIdx.y).
inline dim3 columnGrid(const GridShape& g) { return dim3(launchableShape(g).x / 32, g.y / 4, 1); }
// One thread per line along y, in blocks of the voxel shape: (i, j) = (x, z) = (blockIdx.x*32 +
// threadIdx.x, blockIdx.y*4 + threadIdx.y).
inline dim3 lineGrid(const GridShape& g) { return dim3(launchableShape(g).x / 32, g.z / 4, 1); }
inline dim3 lineBlock() { return voxelBlock(); }

// The query pass of the labelling: two threads per line along y, one block per 32 lines of a z plane.
inline dim3 queryGrid(const GridShape& g) { return dim3(launchableShape(g).x / 32, g.z, 1); }
inline dim3 queryBlock() { return dim3(32, 2, 1); }

// One warp per row along x: block (y, z) handles the row at y = blockIdx.x, z = blockIdx.y.
inline dim3 rowGrid(const GridShape& g) { return dim3(launchableShape(g).y, g.z, 1); }
inline dim3 rowBlock() { return dim3(32, 1, 1); }

// Whether a launch has one of the shapes above for grid g (host fast paths handle only those).
inline bool sameShape(dim3 a, dim3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool isVoxelLaunch(dim3 grid, dim3 block, const GridShape& g) {
    return isOnSteps(g) && sameShape(grid, voxelGrid(g)) && sameShape(block, voxelBlock());
}
inline bool isColumnLaunch(dim3 grid, dim3 block, const GridShape& g) {
    return isOnSteps(g) && sameShape(grid, columnGrid(g)) && sameShape(block, lineBlock());
}
inline bool isLineLaunch(dim3 grid, dim3 block, const GridShape& g) {
    return isOnSteps(g) && sameShape(grid, lineGrid(g)) && sameShape(block, lineBlock());
}
inline bool isQueryLaunch(dim3 grid, dim3 block, const GridShape& g) {
    return isOnSteps(g) && sameShape(grid, queryGrid(g)) && sameShape(block, queryBlock());
}
inline bool isRowLaunch(dim3 grid, dim3 block, const GridShape& g) {
    return isOnSteps(g) && sameShape(grid, rowGrid(g)) && sameShape(block, rowBlock());
}

CVT_END_NAMESPACE
