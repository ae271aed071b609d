#include <vector>

#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "../host/site_code.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// Position along z used for distances: a site's z field; an empty value lies beyond every site.
__host__ __device__ __forceinline__ int floodPosition(int value) { return value >= 0 ? siteZ(value) : 0x7FFFFFFF; }

__host__ __device__ __forceinline__ int distanceAlongZ(int value, int z) {
    const int d = floodPosition(value) - z;
    return d < 0 ? -d : d;
}

}  // namespace

// Two sweeps per column: upwards each voxel takes the last site at or below it; downwards that value
// is replaced by the one carried from above when the latter is strictly nearer. A voxel halfway
// between two sites therefore keeps the upper one, which is the "largest z" part of the tie rule.
// Consecutive threads take consecutive x, so every step of a warp touches 32 consecutive integers.
__global__ void kernelFloodZ(const int* source, int* destination, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int column = x + n * y;
    const int plane = n * n;

    int carried = EMPTY_SITE;
    for (int z = 0; z < n; ++z) {
        const int value = source[column + plane * z];
        if (value >= 0) carried = value;
        destination[column + plane * z] = carried;
    }
    for (int z = n - 2; z >= 0; --z) {
        const int below = destination[column + plane * z];
        if (distanceAlongZ(below, z) < distanceAlongZ(carried, z)) carried = below;
        destination[column + plane * z] = carried;
    }
}

namespace {

// The kernel's upward step at one plane for `columns` side by side.
void floodUpward(const int* values, int* floods, int* carried, int columns) {
    for (int c = 0; c < columns; ++c) {
        const int value = values[c];
        const int flood = value >= 0 ? value : carried[c];
        carried[c] = flood;
        floods[c] = flood;
    }
}

// The kernel's downward step at plane z for `columns` side by side.
void floodDownward(int* floods, int* carried, int columns, int z) {
    for (int c = 0; c < columns; ++c) {
        const int below = floods[c];
        const int flood = distanceAlongZ(below, z) < distanceAlongZ(carried[c], z) ? below : carried[c];
        carried[c] = flood;
        floods[c] = flood;
    }
}

// The kernel's two sweeps for one y-row of columns at a time: the row's part of each plane is
// contiguous, and the values the row's columns carry are kept side by side, so memory is walked plane
// by plane in runs of n integers instead of one column at a stride of a plane. At n = 256 a row's
// n x n voxels stay in the cache from the upward sweep to the downward one.
bool hostFloodZ(dim3 grid, dim3 block, const int* source, int* destination, int n) {
    if (!isLineLaunch(grid, block, n)) return false;
    const size_t plane = size_t(n) * n;
    hostParallelFor(n, [=](int64_t y) {
        const int* values = source + size_t(y) * n;
        int* floods = destination + size_t(y) * n;
        std::vector<int> carried(n, EMPTY_SITE);
        for (int z = 0; z < n; ++z) floodUpward(values + plane * z, floods + plane * z, carried.data(), n);
        for (int z = n - 2; z >= 0; --z) floodDownward(floods + plane * z, carried.data(), n, z);
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelFloodZ, hostFloodZ);

CVT_END_NAMESPACE
