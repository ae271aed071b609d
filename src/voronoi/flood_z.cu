#include "../host/site_code.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// Position along z used for distances: a site's z field; an empty value lies beyond every site.
__device__ __forceinline__ int floodPosition(int value) { return value >= 0 ? siteZ(value) : 0x7FFFFFFF; }

__device__ __forceinline__ int distanceAlongZ(int value, int z) {
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

CVT_END_NAMESPACE
