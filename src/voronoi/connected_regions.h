// Making every region of a labelling one 6-connected piece that holds its site.
//
// Inside a folded object a region of nearest voxels can fall apart across a gap. After a labelling,
// makeRegionsConnected gives every piece of a region that does not hold the region's site to a
// neighbouring region (see detached_pieces.h for the rule), so that every region that a site reaches
// is one piece with its site in it.
//
// It runs in two halves. On the device, every voxel that is connected to its own site within its
// region is marked "anchored": the voxels of each site's own voxel first, then, pass after pass, every
// voxel joined to an anchored one by faces between voxels of one label. Those marks are bits, one per
// voxel, in words of 32 voxels along x, and the work is done in tiles of 32 x 32 x 32 voxels: a pass
// takes, in each tile, every voxel that the tile's anchored voxels and its neighbours' anchored faces
// reach inside the tile, and tiles whose surroundings did not change in the last pass sit the next one
// out. The voxels left unanchored in the box and the mask ("detached"), usually few, are then written
// out with their neighbours and settled on the host, and their new labels are stored back.
//
// Every pass computes a fixed function of what the previous one left (a tile reads its neighbours'
// marks from the previous pass's words and writes its own into the other words), the detached voxels
// are listed in a fixed order, and the host decides from sorted lists: the result is the same bytes on
// every run, every thread count, on a GPU and on the simulation.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "../host/site_code.h"
#include "detached_pieces.h"

CVT_BEGIN_NAMESPACE

// The sites on the device: `count` increasing site codes and, parallel to them, each site's id.
template <class Code>
struct DeviceSiteTable {
    const Code* codes = nullptr;
    const int* ids = nullptr;
    int count = 0;
};

struct ConnectedRegionsCount {
    uint64_t movedVoxels = 0;  // voxels that changed label
    uint64_t apartPieces = 0;  // detached pieces that no site reaches, which keep their labels
};

// Makes the regions of `labels` (site codes of whole grid g, which must be a launchable grid and not
// a slab of one) connected, in place, within `box` (at the grid's origin) and, when `nearestInside`
// is not null, within the mask it gives: voxel v is inside iff nearestInside[v] is v's own code.
// Voxels outside the box or the mask belong to no region and keep their labels. `sites` lists every
// site whose code a voxel of the regions carries. `scratch` holds at least g.voxels() codes, whose
// contents are lost (the other site volume of the labelling's pair serves). Nothing else is allocated
// on the device; the host holds about 130 bytes per detached voxel while it settles them. Throws
// cvt::Failure for a grid or box it cannot work on, or a label that names no site. Codes of type
// Code, that of g's layout (site_code.h).
template <class Code>
ConnectedRegionsCount makeRegionsConnected(Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                           const CodeOf<Code>* nearestInside, const DeviceSiteTable<Code>& sites);

// The first half alone: marks the voxels that are joined to their site within their region, as bits
// (voxel (x, y, z) is bit x % 32 of word g.index(x, y, z) / 32 of what it returns, which lies in
// `scratch`). Voxels outside the box or the mask are not marked.
template <class Code>
const uint32_t* markAnchoredVoxels(const Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                   const CodeOf<Code>* nearestInside);

// ---- The steps, for a run split into slabs of whole planes, whose ranks put them together with
// exchanges of planes between them: a slab's regions reach their sites through the slabs around it.

// The planes of grid g (a slab's grid, or a whole grid) that hold a slab's regions: [first, end) are
// the slab's own. Where there is a slab below (above), plane first - 1 (end) holds the labels of that
// slab's nearest plane and, in the mask's inside map, its inside voxels: its voxels take part as that
// slab's own. Planes below these take no part; the box ends the planes above (at end, or end + 1).
struct RegionPlanes {
    int first = 0, end = 0;
    bool below = false, above = false;
    int lowest() const { return first - int(below); }
};

// The anchored bits of the neighbouring planes as their own slabs have them (words of plane
// lowest() and of plane end, as planeWords gives them), or empty where none is known yet.
struct NeighbourAnchors {
    std::vector<uint32_t> below, above;
};

// markAnchoredVoxels on the planes of a slab, anchoring from the voxels that carry their own code and
// from the neighbours' anchored voxels.
template <class Code>
const uint32_t* markSlabAnchoredVoxels(const Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                       const CodeOf<Code>* nearestInside, const RegionPlanes& planes,
                                       const NeighbourAnchors& anchors);

// The words of bits (32 voxels of a row each) of plane `plane` of grid g, read from the device.
std::vector<uint32_t> planeWords(const uint32_t* words, const GridShape& g, int plane);

// The detached voxels of planes [planes.first, planes.end), as marked by `anchored` (which lies in
// `scratch`), with their voxels' indices in grid g.
template <class Code>
std::vector<DetachedVoxel> detachedVoxels(const Code* labels, Code* scratch, const uint32_t* anchored,
                                          const GridShape& g, GridBox box, const RegionPlanes& planes);

// Stores the new labels of the resolution (voxels of grid g) in `labels`, through `scratch`.
template <class Code>
void storeNewLabels(Code* labels, Code* scratch, const GridShape& g, const DetachedResolution& resolution);

// The site table, read from the device.
template <class Code>
SiteIds downloadSites(const DeviceSiteTable<Code>& sites);

// ---- The passes, declared for their tests.

constexpr int regionTileSide = 32;

// The tiles that cover a box: one word of 32 voxels along x, 32 rows along y, 32 planes along z.
struct RegionTiles {
    int x, y, z;
    __host__ __device__ int count() const { return x * y * z; }
};
__host__ __device__ inline RegionTiles regionTilesOf(GridBox box) {
    const int side = regionTileSide;
    return RegionTiles{(box.x + side - 1) / side, (box.y + side - 1) / side, (box.z + side - 1) / side};
}
// One block per tile, one thread per row: thread (i, j) takes row y = 32 by + i, z = 32 bz + j.
inline dim3 tileGrid(GridBox box) {
    const RegionTiles tiles = regionTilesOf(box);
    return dim3(unsigned(tiles.x), unsigned(tiles.y), unsigned(tiles.z));
}
inline dim3 tileBlock() { return dim3(regionTileSide, regionTileSide, 1); }

// Bits of the voxels of a grid, one word per 32 voxels of a row along x (voxel (x, y, z) is bit x % 32
// of word g.index(x, y, z) / 32).
struct RegionMaps {
    uint32_t* inside;  // in the box and in the mask
    uint32_t* nextX;   // inside, as is the voxel at x + 1, and of the same label
    uint32_t* nextY;   // the same with the voxel at y + 1
    uint32_t* nextZ;   // the same with the voxel at z + 1
};

// Writes the maps and, in `sites`, the inside voxels that carry their own code with those joined to
// them along their word, for every row of the grid: the anchored voxels to start from, and like every
// set of anchored voxels later, closed along each word. One thread per voxel: launch voxelGrid(g) x
// voxelBlock().
template <class Code>
__global__ void kernelRegionLinks(const Code* labels, const Code* nearestInside, GridShape g, GridBox box,
                                  RegionMaps maps, uint32_t* sites);

// One pass of the anchoring: for every tile that changed in the previous pass (changedIn) or has a
// face neighbour that did, writes to anchoredOut every voxel reached inside the tile from anchoredIn's
// voxels of the tile and from the anchored voxels of its neighbours across its faces, and sets
// changedOut[tile] to whether that differs from anchoredIn; other tiles get changedOut 0 and no words.
// Adds the number of changed tiles to *changedTiles. Launch tileGrid(box) x tileBlock().
__global__ void kernelAnchorTiles(RegionMaps maps, const uint32_t* anchoredIn, uint32_t* anchoredOut,
                                  const uint8_t* changedIn, uint8_t* changedOut, unsigned* changedTiles, GridShape g,
                                  GridBox box);

// Adds to counts[tile] the inside voxels of the tile that `anchored` leaves out. Launch tileGrid(box) x
// tileBlock().
__global__ void kernelCountDetached(RegionMaps maps, const uint32_t* anchored, int* counts, GridShape g, GridBox box);

// Describes the detached voxels: those of tile t are numbered from tileOffsets[t] (tileOffsets[t + 1]
// ends them), each tile's in voxel order; number k goes to records[k - windowBegin] when it lies in
// [windowBegin, windowEnd). Launch tileGrid(box) x tileBlock().
template <class Code>
__global__ void kernelDescribeDetached(const Code* labels, RegionMaps maps, const uint32_t* anchored,
                                       const int* tileOffsets, int windowBegin, int windowEnd, DetachedVoxel* records,
                                       GridShape g, GridBox box);

CVT_END_NAMESPACE
