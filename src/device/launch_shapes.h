// The launch shapes of the program's kernels. No kernel tests bounds, and a launch at an edge that is
// not a multiple of 32 would silently leave part of the volume untouched, so the shapes refuse such
// an edge.
#pragma once

#include <string>

#include "device.h"

CVT_BEGIN_NAMESPACE

inline int launchableEdge(int n) {
    if (n <= 0 || n % 32 != 0) throw Failure("grid edge " + std::to_string(n) + " is not a positive multiple of 32");
    return n;
}

// One thread per voxel of an n-grid: x = blockIdx.x*32 + threadIdx.x, y = blockIdx.y*4 + threadIdx.y,
// z = blockIdx.z.
inline dim3 voxelGrid(int n) { return dim3(launchableEdge(n) / 32, n / 4, n); }
inline dim3 voxelBlock() { return dim3(32, 4, 1); }

// One thread per line of an n-grid, in blocks of the voxel shape: (i, j) = (blockIdx.x*32 +
// threadIdx.x, blockIdx.y*4 + threadIdx.y).
inline dim3 lineGrid(int n) { return dim3(launchableEdge(n) / 32, n / 4, 1); }
inline dim3 lineBlock() { return voxelBlock(); }

// The query pass of the labelling: two threads per line, one block per 32 lines of a plane.
inline dim3 queryGrid(int n) { return dim3(launchableEdge(n) / 32, n, 1); }
inline dim3 queryBlock() { return dim3(32, 2, 1); }

// One warp per row along x: block (y, z) handles the row at y = blockIdx.x, z = blockIdx.y.
inline dim3 rowGrid(int n) { return dim3(launchableEdge(n), n, 1); }
inline dim3 rowBlock() { return dim3(32, 1, 1); }

// Whether a launch has one of the shapes above for edge n (host fast paths handle only those).
inline bool sameShape(dim3 a, dim3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool isVoxelLaunch(dim3 grid, dim3 block, int n) {
    return n > 0 && n % 32 == 0 && sameShape(grid, voxelGrid(n)) && sameShape(block, voxelBlock());
}
inline bool isLineLaunch(dim3 grid, dim3 block, int n) {
    return n > 0 && n % 32 == 0 && sameShape(grid, lineGrid(n)) && sameShape(block, lineBlock());
}
inline bool isQueryLaunch(dim3 grid, dim3 block, int n) {
    return n > 0 && n % 32 == 0 && sameShape(grid, queryGrid(n)) && sameShape(block, queryBlock());
}
inline bool isRowLaunch(dim3 grid, dim3 block, int n) {
    return n > 0 && n % 32 == 0 && sameShape(grid, rowGrid(n)) && sameShape(block, rowBlock());
}

CVT_END_NAMESPACE
