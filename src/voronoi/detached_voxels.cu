#include "../device/bit_count.h"
#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"
#include "connected_regions.h"
#include "region_bits.h"

CVT_BEGIN_NAMESPACE

namespace {

// The detached voxels of row (y, z) within word tx, as bits of that word.
__host__ __device__ __forceinline__ uint32_t detachedBits(const RegionMaps& maps, const uint32_t* anchored,
                                                          const GridShape& g, GridBox box, int tx, int y, int z) {
    if (!rowInBox(box, y, z)) return 0;
    const int64_t word = rowWord(g, tx, y, z);
    return maps.inside[word] & ~anchored[word];
}

// Writes the records of the detached voxels `bits` of a row, numbered from `number`, that fall in the
// window.
template <class Code>
__host__ __device__ __forceinline__ void describeRow(const Code* labels, const RegionMaps& maps,
                                                     const uint32_t* anchored, const GridShape& g, GridBox box, int tx,
                                                     int y, int z, uint32_t bits, int number, int windowBegin,
                                                     int windowEnd, DetachedVoxel* records) {
    for (int bit = 0; bit < 32; ++bit) {
        if ((bits >> bit & 1u) == 0) continue;
        if (number >= windowBegin && number < windowEnd)
            records[number - windowBegin] = describeVoxel(labels, maps, anchored, g, box, tx * 32 + bit, y, z);
        ++number;
    }
}

}  // namespace

__global__ void kernelCountDetached(RegionMaps maps, const uint32_t* anchored, int* counts, GridShape g, GridBox box) {
    const RegionTiles tiles = regionTilesOf(box);
    const int y = blockIdx.y * regionTileSide + threadIdx.x, z = blockIdx.z * regionTileSide + threadIdx.y;
    const int count = bitCount(detachedBits(maps, anchored, g, box, blockIdx.x, y, z));
    if (count != 0) atomicAdd(&counts[tileIndex(tiles, blockIdx.x, blockIdx.y, blockIdx.z)], count);
}

// The rows of a tile are numbered in thread order (y fastest, then z), so that records follow in voxel
// order within the tile; each row's first number comes from a scan over the rows' counts in shared
// memory, in doubling steps between two copies.
template <class Code>
__global__ void kernelDescribeDetached(const Code* labels, RegionMaps maps, const uint32_t* anchored,
                                       const int* tileOffsets, int windowBegin, int windowEnd, DetachedVoxel* records,
                                       GridShape g, GridBox box) {
    const RegionTiles tiles = regionTilesOf(box);
    const int tile = tileIndex(tiles, blockIdx.x, blockIdx.y, blockIdx.z);
    const int begin = tileOffsets[tile], end = tileOffsets[tile + 1];
    if (begin == end || end <= windowBegin || begin >= windowEnd) return;
    constexpr int rowsPerTile = regionTileSide * regionTileSide;
    __shared__ int scan[2][rowsPerTile];
    const int row = threadIdx.y * regionTileSide + threadIdx.x;
    const int y = blockIdx.y * regionTileSide + threadIdx.x, z = blockIdx.z * regionTileSide + threadIdx.y;
    const uint32_t bits = detachedBits(maps, anchored, g, box, blockIdx.x, y, z);
    const int count = bitCount(bits);
    scan[0][row] = count;
    __syncthreads();
    int from = 0;
    for (int shift = 1; shift < rowsPerTile; shift *= 2, from ^= 1) {
        scan[from ^ 1][row] = scan[from][row] + (row >= shift ? scan[from][row - shift] : 0);
        __syncthreads();
    }
    describeRow(labels, maps, anchored, g, box, blockIdx.x, y, z, bits, begin + scan[from][row] - count, windowBegin,
                windowEnd, records);
}

template __global__ void kernelDescribeDetached<SiteCode>(const SiteCode*, RegionMaps, const uint32_t*, const int*, int,
                                                          int, DetachedVoxel*, GridShape, GridBox);
template __global__ void kernelDescribeDetached<WideSiteCode>(const WideSiteCode*, RegionMaps, const uint32_t*,
                                                              const int*, int, int, DetachedVoxel*, GridShape, GridBox);

namespace {

template <class Body>
void forEachTile(const RegionTiles& tiles, const Body& body) {
    hostParallelFor(tiles.count(), [&](int64_t tile) {
        body(int(tile), int(tile % tiles.x), int(tile / tiles.x % tiles.y), int(tile / tiles.x / tiles.y));
    });
}

bool hostCountDetached(dim3 grid, dim3 block, RegionMaps maps, const uint32_t* anchored, int* counts, GridShape g,
                       GridBox box) {
    if (!sameShape(grid, tileGrid(box)) || !sameShape(block, tileBlock())) return false;
    forEachTile(regionTilesOf(box), [=](int tile, int tx, int ty, int tz) {
        int count = 0;
        for (int j = 0; j < regionTileSide; ++j)
            for (int i = 0; i < regionTileSide; ++i)
                count += bitCount(
                    detachedBits(maps, anchored, g, box, tx, ty * regionTileSide + i, tz * regionTileSide + j));
        counts[tile] += count;
    });
    return true;
}

template <class Code>
bool hostDescribeDetached(dim3 grid, dim3 block, const Code* labels, RegionMaps maps, const uint32_t* anchored,
                          const int* tileOffsets, int windowBegin, int windowEnd, DetachedVoxel* records, GridShape g,
                          GridBox box) {
    if (!sameShape(grid, tileGrid(box)) || !sameShape(block, tileBlock())) return false;
    forEachTile(regionTilesOf(box), [=](int tile, int tx, int ty, int tz) {
        int number = tileOffsets[tile];
        if (number == tileOffsets[tile + 1] || tileOffsets[tile + 1] <= windowBegin || number >= windowEnd) return;
        for (int j = 0; j < regionTileSide; ++j)
            for (int i = 0; i < regionTileSide; ++i) {
                const int y = ty * regionTileSide + i, z = tz * regionTileSide + j;
                const uint32_t bits = detachedBits(maps, anchored, g, box, tx, y, z);
                describeRow(labels, maps, anchored, g, box, tx, y, z, bits, number, windowBegin, windowEnd, records);
                number += bitCount(bits);
            }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelCountDetached, hostCountDetached);
CVT_HOST_FAST_PATH(kernelDescribeDetached<SiteCode>, hostDescribeDetached<SiteCode>);
CVT_HOST_FAST_PATH(kernelDescribeDetached<WideSiteCode>, hostDescribeDetached<WideSiteCode>);

CVT_END_NAMESPACE
