#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// Position along z used for distances: a site's z field; an empty value lies beyond every site, and far
// enough below the int range that its distance from a plane below a slab (z = -1) still fits.
template <class Code>
__host__ __device__ __forceinline__ int floodPosition(Code value, SiteLayout codes) {
    return value >= 0 ? codes.z(value) : 0x3FFFFFFF;
}

template <class Code>
__host__ __device__ __forceinline__ int distanceAlongZ(Code value, int z, SiteLayout codes) {
    const int d = floodPosition(value, codes) - z;
    return d < 0 ? -d : d;
}

}  // namespace

// Two sweeps per column: upwards each voxel takes the last site at or below it; downwards that value
// is replaced by the one carried from above when the latter is strictly nearer. A voxel halfway
// between two sites therefore keeps the upper one, which is the "largest z" part of the tie rule.
// Consecutive threads take consecutive x, so every step of a warp touches 32 consecutive codes.
template <class Code>
__global__ void kernelFloodZ(const Code* source, Code* destination, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const CodeIndex<Code> column = CodeIndex<Code>(g.index(x, y, 0));
    const CodeIndex<Code> plane = CodeIndex<Code>(g.x) * g.y;

    Code carried = emptySite<Code>;
    for (int z = 0; z < g.z; ++z) {
        const Code value = source[column + plane * z];
        if (value >= 0) carried = value;
        destination[column + plane * z] = carried;
    }
    for (int z = g.z - 2; z >= 0; --z) {
        const Code below = destination[column + plane * z];
        const int wholeZ = g.wholeZOf(z);
        if (distanceAlongZ(below, wholeZ, g.codes) < distanceAlongZ(carried, wholeZ, g.codes)) carried = below;
        destination[column + plane * z] = carried;
    }
}

template __global__ void kernelFloodZ<SiteCode>(const SiteCode*, SiteCode*, GridShape);
template __global__ void kernelFloodZ<WideSiteCode>(const WideSiteCode*, WideSiteCode*, GridShape);

namespace {

// The kernel's upward step at one plane for `columns` side by side.
template <class Code>
void floodUpward(const Code* values, Code* floods, Code* carried, int columns) {
    for (int c = 0; c < columns; ++c) {
        const Code value = values[c];
        const Code flood = value >= 0 ? value : carried[c];
        carried[c] = flood;
        floods[c] = flood;
    }
}

// The kernel's downward step at the plane of whole-grid z for `columns` side by side.
template <class Code>
void floodDownward(Code* floods, Code* carried, int columns, int z, SiteLayout codes) {
    for (int c = 0; c < columns; ++c) {
        const Code below = floods[c];
        const Code flood = distanceAlongZ(below, z, codes) < distanceAlongZ(carried[c], z, codes) ? below : carried[c];
        carried[c] = flood;
        floods[c] = flood;
    }
}

// The kernel's two sweeps for one y-row of columns at a time: the row's part of each plane is
// contiguous, and the values the row's columns carry are kept side by side, so memory is walked plane
// by plane in runs of X codes instead of one column at a stride of a plane. At 256^3 a row's X x Z
// voxels stay in the cache from the upward sweep to the downward one.
template <class Code>
bool hostFloodZ(dim3 grid, dim3 block, const Code* source, Code* destination, GridShape g) {
    if (!isColumnLaunch(grid, block, g)) return false;
    const size_t plane = size_t(g.x) * g.y;
    hostParallelFor(g.y, [=](int64_t y) {
        const Code* values = source + size_t(y) * g.x;
        Code* floods = destination + size_t(y) * g.x;
        std::vector<Code> carried(g.x, emptySite<Code>);
        for (int z = 0; z < g.z; ++z) floodUpward(values + plane * z, floods + plane * z, carried.data(), g.x);
        for (int z = g.z - 2; z >= 0; --z) floodDownward(floods + plane * z, carried.data(), g.x, g.wholeZOf(z), g.codes);
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelFloodZ<SiteCode>, hostFloodZ<SiteCode>);
CVT_HOST_FAST_PATH(kernelFloodZ<WideSiteCode>, hostFloodZ<WideSiteCode>);

CVT_END_NAMESPACE
