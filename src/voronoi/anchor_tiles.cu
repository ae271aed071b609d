#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "connected_regions.h"
#include "region_bits.h"

CVT_BEGIN_NAMESPACE

// Every thread holds one row; the rows grow from each other in steps, each step reading the rows of the
// one before from shared memory (two copies, so that a step never sees a row of its own step), until a
// step changes nothing. Three flags in turn tell whether a step changed anything: the one a step sets
// is cleared two steps before it, after every thread has read it for the last time.
__global__ void kernelAnchorTiles(RegionMaps maps, const uint32_t* anchoredIn, uint32_t* anchoredOut,
                                  const uint8_t* changedIn, uint8_t* changedOut, unsigned* changedTiles, GridShape g,
                                  GridBox box) {
    const RegionTiles tiles = regionTilesOf(box);
    const int tile = tileIndex(tiles, blockIdx.x, blockIdx.y, blockIdx.z);
    const bool first = threadIdx.x == 0 && threadIdx.y == 0;
    if (!tileMayGrow(changedIn, tiles, blockIdx.x, blockIdx.y, blockIdx.z)) {
        if (first) changedOut[tile] = 0;
        return;
    }
    __shared__ uint32_t rows[2][regionTileSide][regionTileSide];  // [copy][j][i]
    __shared__ int stepChanged[3];
    __shared__ int tileChanged;
    const int i = threadIdx.x, j = threadIdx.y;
    const int y = blockIdx.y * regionTileSide + i, z = blockIdx.z * regionTileSide + j;
    const bool inBox = rowInBox(box, y, z);
    const TileRow row = inBox ? loadTileRow(maps, anchoredIn, g, box, tiles, blockIdx.x, y, z, i, j) : TileRow{};
    uint32_t current = row.start;
    rows[0][j][i] = current;
    if (first) stepChanged[0] = stepChanged[1] = stepChanged[2] = tileChanged = 0;
    __syncthreads();
    for (int step = 0;; ++step) {
        const uint32_t(*before)[regionTileSide] = rows[step & 1];
        const uint32_t grown =
            grownRow(row, current, i > 0 ? before[j][i - 1] : 0, i + 1 < regionTileSide ? before[j][i + 1] : 0,
                     j > 0 ? before[j - 1][i] : 0, j + 1 < regionTileSide ? before[j + 1][i] : 0);
        rows[(step + 1) & 1][j][i] = grown;
        if (grown != current) stepChanged[step % 3] = 1;
        if (first) stepChanged[(step + 1) % 3] = 0;
        current = grown;
        __syncthreads();
        if (!stepChanged[step % 3]) break;
    }
    if (inBox) {
        anchoredOut[rowWord(g, blockIdx.x, y, z)] = current;
        if (current != row.before) tileChanged = 1;
    }
    __syncthreads();
    if (first) {
        changedOut[tile] = uint8_t(tileChanged);
        if (tileChanged) atomicAdd(changedTiles, 1u);
    }
}

namespace {

// A tile's rows grow in place, sweeping forwards and backwards through the tile until a sweep changes
// nothing: the same rows as the kernel's steps reach, in fewer sweeps.
bool anchorTile(RegionMaps maps, const uint32_t* anchoredIn, uint32_t* anchoredOut, GridShape g, GridBox box,
                const RegionTiles& tiles, int tx, int ty, int tz) {
    constexpr int side = regionTileSide;
    std::vector<TileRow> rows(side * side);
    std::vector<uint32_t> current(side * side);
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const int y = ty * side + i, z = tz * side + j;
            if (rowInBox(box, y, z)) rows[j * side + i] = loadTileRow(maps, anchoredIn, g, box, tiles, tx, y, z, i, j);
            current[j * side + i] = rows[j * side + i].start;
        }
    const auto grow = [&](int r) {
        const int i = r % side, j = r / side;
        const uint32_t grown =
            grownRow(rows[r], current[r], i > 0 ? current[r - 1] : 0, i + 1 < side ? current[r + 1] : 0,
                     j > 0 ? current[r - side] : 0, j + 1 < side ? current[r + side] : 0);
        const bool changed = grown != current[r];
        current[r] = grown;
        return changed;
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (int r = 0; r < side * side; ++r) changed |= grow(r);
        for (int r = side * side - 1; r >= 0; --r) changed |= grow(r);
    }
    bool tileChanged = false;
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const int y = ty * side + i, z = tz * side + j;
            if (!rowInBox(box, y, z)) continue;
            anchoredOut[rowWord(g, tx, y, z)] = current[j * side + i];
            tileChanged |= current[j * side + i] != rows[j * side + i].before;
        }
    return tileChanged;
}

bool hostAnchorTiles(dim3 grid, dim3 block, RegionMaps maps, const uint32_t* anchoredIn, uint32_t* anchoredOut,
                     const uint8_t* changedIn, uint8_t* changedOut, unsigned* changedTiles, GridShape g, GridBox box) {
    if (!sameShape(grid, tileGrid(box)) || !sameShape(block, tileBlock())) return false;
    const RegionTiles tiles = regionTilesOf(box);
    hostParallelFor(tiles.count(), [=](int64_t tile) {
        const int tx = int(tile % tiles.x), ty = int(tile / tiles.x % tiles.y), tz = int(tile / tiles.x / tiles.y);
        changedOut[tile] = tileMayGrow(changedIn, tiles, tx, ty, tz) &&
                           anchorTile(maps, anchoredIn, anchoredOut, g, box, tiles, tx, ty, tz);
    });
    unsigned changed = 0;
    for (int tile = 0; tile < tiles.count(); ++tile) changed += changedOut[tile];
    *changedTiles += changed;
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelAnchorTiles, hostAnchorTiles);

CVT_END_NAMESPACE
