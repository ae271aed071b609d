#include <algorithm>
#include <cstdint>

#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "chain_entry.h"
#include "plane_prefetch.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int tileEdge = 32;  // rows per tile, and lines per block; the tile's row stride

// Exact weighted squared distance from voxel (i, y, j) of the line to the chain entry at row `row`.
__host__ __device__ __forceinline__ int64_t squaredDistance(int entry, int row, int i, int y, int j, LineWeights w,
                                                            SiteLayout frame) {
    const int64_t dx = frame.x(entry) - i, dy = row - y, dz = frame.z(entry) - j;
    return w.first * (dx * dx) + w.row * (dy * dy) + w.third * (dz * dz);
}

// The label for a voxel won by `entry` at `row`: the row becomes the first field and the entry's first
// field the second, so the output is a site code in the frame with the first two axes exchanged. An
// empty line's end marker (EMPTY_SITE at row 0) stays EMPTY_SITE.
__host__ __device__ __forceinline__ int exchangedCode(int entry, int row, SiteLayout frame) {
    return (entry & CHAIN_END) | frame.exchanged().encode(row, frame.x(entry), frame.z(entry));
}

}  // namespace

// Walks each line's chain from the top down while the rows are visited from the top down. Along the
// chain the distances to a fixed row fall to their minimum and then rise, so the walk stops at the
// first strict rise and moves on at equal distance (ties go to the lower row); the entry found for a
// row is a valid start for every row below, so the walk never restarts. Results go through a shared
// 32 x 32 tile so that the transposed output is written 32 consecutive integers at a time. The source
// has the frame of g (lines (x, z), rows along y); the destination that of g.exchanged(), whose
// voxel (y, x, z) lies at y + Y (x + X z).
__global__ void kernelColorAxis(const int* source, int* destination, GridShape g, LineWeights weights) {
    __shared__ int block[tileEdge * tileEdge];
    const int lineOffset = threadIdx.x;
    const int i = blockIdx.x * tileEdge + lineOffset;
    const int j = blockIdx.y;
    const int line = g.index(i, 0, j);
    const int n = g.y;  // rows of a line, g.x integers apart

    const int wholeJ = g.wholeZOf(j);  // the plane's z in distances
    int current = source[line + g.x * (n - 1)];
    int currentRow = n - 1;
    if (current < 0) {
        currentRow = chainLink(current, g.codes);
        if (chainLinked(current)) current = source[line + g.x * currentRow];
    }
    int next = 0, nextRow = 0;
    if (chainLinked(current)) {
        nextRow = chainLink(current, g.codes);
        next = source[line + g.x * nextRow];
    }

    const int tiles = n / blockDim.x;
    for (int t = 0; t < tiles; ++t) {
        const int low = n - tileEdge * (t + 1);
        for (int y = n - 1 - int(threadIdx.y) - tileEdge * t; y >= low; y -= blockDim.y) {
            int64_t currentDistance = squaredDistance(current, currentRow, i, y, wholeJ, weights, g.codes);
            while (chainLinked(current)) {
                const int64_t nextDistance = squaredDistance(next, nextRow, i, y, wholeJ, weights, g.codes);
                if (nextDistance > currentDistance) break;
                current = next;
                currentRow = nextRow;
                currentDistance = nextDistance;
                if (chainLinked(current)) {
                    nextRow = chainLink(current, g.codes);
                    next = source[line + g.x * nextRow];
                }
            }
            block[lineOffset * tileEdge + (y - low)] = exchangedCode(current, currentRow, g.codes);
        }
        __syncthreads();
        if (threadIdx.y == 0) {
            // Step s writes row 32 bx + s of the destination: lines become rows and rows columns.
            for (int s = 0; s < tileEdge; ++s)
                destination[(low + lineOffset) + n * (blockIdx.x * tileEdge + s) + n * g.x * j] =
                    block[s * tileEdge + lineOffset];
        }
        __syncthreads();
    }
}

namespace {

// The labels of the line at x = i of `chain` (its plane at z = j of the whole grid) (its row 0, rows g.x apart) into labels[0..g.y), by one
// walk from the top row down. The kernel's two threads per line walk alternate rows with separate
// states, which gives the same labels: on a chain of the construction pass the entries' distances to
// a row fall strictly, then stay equal, then rise strictly, and the plateau's last entry, where every
// walk stops, moves down the chain as the row does; so a walk that starts at or above the stopping
// entry of a row stops there whatever it visited before. Where the walk stops, the next entry's
// distance minus the current one's is linear in the row and falls by 2 w.row (currentRow - nextRow) per
// row downwards, so the rows that keep the entry are known at once and filled together.
void labelLine(const int* chain, const GridShape& g, int i, int j, LineWeights weights, int* labels) {
    const size_t row = size_t(g.x);
    const int n = g.y;
    int current = chain[row * (n - 1)];
    int currentRow = n - 1;
    if (current < 0) {
        currentRow = chainLink(current, g.codes);
        if (chainLinked(current)) current = chain[row * currentRow];
    }
    int next = 0, nextRow = 0;
    if (chainLinked(current)) {
        nextRow = chainLink(current, g.codes);
        next = chain[row * nextRow];
    }
    for (int y = n - 1; y >= 0;) {
        int64_t currentDistance = squaredDistance(current, currentRow, i, y, j, weights, g.codes);
        int64_t lowestKept = 0;
        while (chainLinked(current)) {
            const int64_t nextDistance = squaredDistance(next, nextRow, i, y, j, weights, g.codes);
            if (nextDistance > currentDistance) {
                const int64_t fall = 2 * weights.row * (currentRow - nextRow);
                if (fall > 0) lowestKept = std::max<int64_t>(0, y - (nextDistance - currentDistance - 1) / fall);
                break;
            }
            current = next;
            currentRow = nextRow;
            currentDistance = nextDistance;
            if (chainLinked(current)) {
                nextRow = chainLink(current, g.codes);
                next = chain[row * nextRow];
            }
        }
        std::fill(labels + lowestKept, labels + y + 1, exchangedCode(current, currentRow, g.codes));
        y = int(lowestKept) - 1;
    }
}

// Line by line, after asking the cache for the lines' plane: the walks follow links from row to row,
// X integers apart. A line's labels form one row of the destination, so they are written contiguously.
bool hostColorAxis(dim3 grid, dim3 block, const int* source, int* destination, GridShape g, LineWeights weights) {
    if (!isQueryLaunch(grid, block, g)) return false;
    const size_t plane = size_t(g.x) * g.y;
    hostParallelFor(g.z, [&](int64_t j) {
        prefetchIntegers(source + plane * j, plane);
        for (int i = 0; i < g.x; ++i)
            labelLine(source + plane * j + i, g, i, g.wholeZOf(int(j)), weights, destination + plane * j + size_t(g.y) * i);
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelColorAxis, hostColorAxis);

CVT_END_NAMESPACE
