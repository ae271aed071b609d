// What the kernels of connected_regions.h and their fast paths share: where a row's word lies, the
// bits of one voxel, and the steps of the anchoring of a tile's rows. Written once, so that a kernel
// and its fast path cannot drift apart.
#pragma once

#include <cstdint>

#include "../device/qualifiers.h"
#include "../host/grid_shape.h"
#include "connected_regions.h"

CVT_BEGIN_NAMESPACE

// The word of voxels 32 xWord .. 32 xWord + 31 of row (y, z).
__host__ __device__ __forceinline__ int64_t rowWord(const GridShape& g, int xWord, int y, int z) {
    return xWord + int64_t(g.x / regionTileSide) * (y + int64_t(g.y) * z);
}

__host__ __device__ __forceinline__ bool rowInBox(GridBox box, int y, int z) { return y < box.y && z < box.z; }

template <class Code>
__host__ __device__ __forceinline__ bool voxelInside(const Code* nearestInside, const GridShape& g, GridBox box, int x,
                                                     int y, int z) {
    return x < box.x && y < box.y && z < box.z &&
           (nearestInside == nullptr || nearestInside[g.index(x, y, z)] == g.codes.encode<Code>(x, y, g.wholeZOf(z)));
}

// The bits kernelRegionLinks stores for one voxel.
enum LinkBit : uint32_t { insideBit = 1, siteBit = 2, nextXBit = 4, nextYBit = 8, nextZBit = 16 };

template <class Code>
__host__ __device__ __forceinline__ uint32_t voxelLinkBits(const Code* labels, const Code* nearestInside,
                                                           const GridShape& g, GridBox box, int x, int y, int z) {
    if (!voxelInside(nearestInside, g, box, x, y, z)) return 0;
    const int64_t voxel = g.index(x, y, z);
    const Code code = labels[voxel];
    uint32_t bits = insideBit;
    if (code == g.codes.encode<Code>(x, y, g.wholeZOf(z))) bits |= siteBit;
    if (x + 1 < box.x && labels[voxel + 1] == code && voxelInside(nearestInside, g, box, x + 1, y, z)) bits |= nextXBit;
    if (y + 1 < box.y && labels[voxel + g.x] == code && voxelInside(nearestInside, g, box, x, y + 1, z))
        bits |= nextYBit;
    if (z + 1 < box.z && labels[voxel + int64_t(g.x) * g.y] == code && voxelInside(nearestInside, g, box, x, y, z + 1))
        bits |= nextZBit;
    return bits;
}

// Every bit of a row reached from `seeds` along x through `links` (bit i: voxels i and i + 1 are
// joined): a prefix scan in five doubling steps each way instead of up to 31 single steps.
__host__ __device__ __forceinline__ uint32_t fillAlongRow(uint32_t seeds, uint32_t links) {
    uint32_t reached = seeds, joined = links << 1;  // joined bit i: voxel i is joined to i - 1
    for (int shift = 1; shift < 32; shift *= 2) {
        reached |= joined & (reached << shift);
        joined &= joined << shift;
    }
    joined = links;  // joined bit i: voxel i is joined to i + 1
    for (int shift = 1; shift < 32; shift *= 2) {
        reached |= joined & (reached >> shift);
        joined &= joined >> shift;
    }
    return reached;
}

__host__ __device__ __forceinline__ int tileIndex(const RegionTiles& tiles, int tx, int ty, int tz) {
    return tx + tiles.x * (ty + tiles.y * tz);
}

// Whether a tile can grow in this pass: it or a face neighbour changed in the previous one.
__host__ __device__ __forceinline__ bool tileMayGrow(const uint8_t* changed, const RegionTiles& tiles, int tx, int ty,
                                                     int tz) {
    return changed[tileIndex(tiles, tx, ty, tz)] != 0 || (tx > 0 && changed[tileIndex(tiles, tx - 1, ty, tz)] != 0) ||
           (tx + 1 < tiles.x && changed[tileIndex(tiles, tx + 1, ty, tz)] != 0) ||
           (ty > 0 && changed[tileIndex(tiles, tx, ty - 1, tz)] != 0) ||
           (ty + 1 < tiles.y && changed[tileIndex(tiles, tx, ty + 1, tz)] != 0) ||
           (tz > 0 && changed[tileIndex(tiles, tx, ty, tz - 1)] != 0) ||
           (tz + 1 < tiles.z && changed[tileIndex(tiles, tx, ty, tz + 1)] != 0);
}

// A row of a tile as the anchoring sees it: where it starts, its links to the rows beside it (those
// inside the tile; the links across the tile's faces are spent on `start`), and the row before.
struct TileRow {
    uint32_t start = 0;   // anchored before, or reached across the tile's faces, filled along x
    uint32_t before = 0;  // anchored before
    uint32_t alongX = 0;  // links within the row
    uint32_t towardYBelow = 0, towardYAbove = 0, towardZBelow = 0, towardZAbove = 0;
};

// Row (y, z) of word tx, row i, j of its tile (y = 32 ty + i, z = 32 tz + j); it lies in the box.
__host__ __device__ __forceinline__ TileRow loadTileRow(const RegionMaps& maps, const uint32_t* anchoredIn,
                                                        const GridShape& g, GridBox box, const RegionTiles& tiles,
                                                        int tx, int y, int z, int i, int j) {
    const int64_t word = rowWord(g, tx, y, z);
    const int64_t rowStep = g.x / regionTileSide, planeStep = rowStep * g.y;
    TileRow row;
    row.before = anchoredIn[word];
    const uint32_t alongX = maps.nextX[word];
    row.alongX = alongX & 0x7FFFFFFFu;  // bit 31 joins the next tile
    const uint32_t yBelow = y > 0 ? maps.nextY[word - rowStep] : 0, yAbove = maps.nextY[word];
    const uint32_t zBelow = z > 0 ? maps.nextZ[word - planeStep] : 0, zAbove = maps.nextZ[word];
    uint32_t seeds = row.before;  // filled along the row already: every anchored word is
    if (tx > 0) seeds |= (anchoredIn[word - 1] & maps.nextX[word - 1]) >> 31;
    if (tx + 1 < tiles.x) seeds |= (anchoredIn[word + 1] << 31) & alongX;
    if (i == 0 && y > 0) seeds |= anchoredIn[word - rowStep] & yBelow;
    if (i == regionTileSide - 1 && y + 1 < box.y) seeds |= anchoredIn[word + rowStep] & yAbove;
    if (j == 0 && z > 0) seeds |= anchoredIn[word - planeStep] & zBelow;
    if (j == regionTileSide - 1 && z + 1 < box.z) seeds |= anchoredIn[word + planeStep] & zAbove;
    row.start = seeds == row.before ? seeds : fillAlongRow(seeds, row.alongX);
    row.towardYBelow = i > 0 ? yBelow : 0;
    row.towardYAbove = i < regionTileSide - 1 ? yAbove : 0;
    row.towardZBelow = j > 0 ? zBelow : 0;
    row.towardZAbove = j < regionTileSide - 1 ? zAbove : 0;
    return row;
}

// The row grown by one step from the rows beside it in the tile (0 for those outside the tile).
__host__ __device__ __forceinline__ uint32_t grownRow(const TileRow& row, uint32_t current, uint32_t yBelow,
                                                      uint32_t yAbove, uint32_t zBelow, uint32_t zAbove) {
    const uint32_t reached = current | (yBelow & row.towardYBelow) | (yAbove & row.towardYAbove) |
                             (zBelow & row.towardZBelow) | (zAbove & row.towardZAbove);
    return reached == current ? current : fillAlongRow(reached, row.alongX);  // `current` is filled already
}

// The record of detached voxel (x, y, z).
template <class Code>
__host__ __device__ __forceinline__ DetachedVoxel describeVoxel(const Code* labels, const RegionMaps& maps,
                                                                const uint32_t* anchored, const GridShape& g,
                                                                GridBox box, int x, int y, int z) {
    DetachedVoxel record;
    record.voxel = g.index(x, y, z);
    record.code = labels[record.voxel];
    const int offsets[faceNeighbours][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
    for (int d = 0; d < faceNeighbours; ++d) {
        const int nx = x + offsets[d][0], ny = y + offsets[d][1], nz = z + offsets[d][2];
        int64_t neighbour = noRegionNeighbour;
        if (nx >= 0 && ny >= 0 && nz >= 0 && nx < box.x && ny < box.y && nz < box.z) {
            const int64_t word = rowWord(g, nx / regionTileSide, ny, nz);
            const uint32_t bit = 1u << (nx % regionTileSide);
            if ((maps.inside[word] & bit) != 0)
                neighbour = (anchored[word] & bit) != 0 ? labels[g.index(nx, ny, nz)] : detachedNeighbour;
        }
        record.neighbours[d] = neighbour;
    }
    return record;
}

CVT_END_NAMESPACE
