#include <cstdint>

#include "chain_entry.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int tileEdge = 32;  // rows per tile, and lines per block; the tile's row stride

// Exact squared distance from voxel (i, y, j) of the line to the chain entry at row `row`.
__device__ __forceinline__ int64_t squaredDistance(int entry, int row, int i, int y, int j) {
    const int64_t dx = siteX(entry) - i, dy = row - y, dz = siteZ(entry) - j;
    return dx * dx + dy * dy + dz * dz;
}

// The label for a voxel won by `entry` at `row`: the row becomes the first field and the entry's first
// field the second, so the output is a site code in the frame with the first two axes exchanged. An
// empty line's end marker (EMPTY_SITE at row 0) stays EMPTY_SITE.
__device__ __forceinline__ int exchangedCode(int entry, int row) {
    return (entry & CHAIN_END) | (row << 20) | (siteX(entry) << 10) | siteZ(entry);
}

}  // namespace

// Walks each line's chain from the top down while the rows are visited from the top down. Along the
// chain the distances to a fixed row fall to their minimum and then rise, so the walk stops at the
// first strict rise and moves on at equal distance (ties go to the lower row); the entry found for a
// row is a valid start for every row below, so the walk never restarts. Results go through a shared
// 32 x 32 tile so that the transposed output is written 32 consecutive integers at a time.
__global__ void kernelColorAxis(const int* source, int* destination, int n) {
    __shared__ int block[tileEdge * tileEdge];
    const int lineOffset = threadIdx.x;
    const int i = blockIdx.x * tileEdge + lineOffset;
    const int j = blockIdx.y;
    const int line = i + n * n * j;

    int current = source[line + n * (n - 1)];
    int currentRow = n - 1;
    if (current < 0) {
        currentRow = chainLink(current);
        if (chainLinked(current)) current = source[line + n * currentRow];
    }
    int next = 0, nextRow = 0;
    if (chainLinked(current)) {
        nextRow = chainLink(current);
        next = source[line + n * nextRow];
    }

    const int tiles = n / blockDim.x;
    for (int t = 0; t < tiles; ++t) {
        const int low = n - tileEdge * (t + 1);
        for (int y = n - 1 - int(threadIdx.y) - tileEdge * t; y >= low; y -= blockDim.y) {
            int64_t currentDistance = squaredDistance(current, currentRow, i, y, j);
            while (chainLinked(current)) {
                const int64_t nextDistance = squaredDistance(next, nextRow, i, y, j);
                if (nextDistance > currentDistance) break;
                current = next;
                currentRow = nextRow;
                currentDistance = nextDistance;
                if (chainLinked(current)) {
                    nextRow = chainLink(current);
                    next = source[line + n * nextRow];
                }
            }
            block[lineOffset * tileEdge + (y - low)] = exchangedCode(current, currentRow);
        }
        __syncthreads();
        if (threadIdx.y == 0) {
            // Step s writes row 32 bx + s of the destination: lines become rows and rows columns.
            for (int s = 0; s < tileEdge; ++s)
                destination[(low + lineOffset) + n * (blockIdx.x * tileEdge + s) + n * n * j] =
                    block[s * tileEdge + lineOffset];
        }
        __syncthreads();
    }
}

CVT_END_NAMESPACE
