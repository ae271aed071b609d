// The site volume of one slab of a grid split into slabs of whole z planes (host/slab.h), from the
// sites of the whole grid.
//
// Why a slab's labelling is exact with so little from outside: the flood along z is the only pass that
// looks across planes, and it gives each voxel the nearest site of its own column; every later pass
// works within one plane. Of a column's sites below the slab only the highest can be nearest to a
// voxel of the slab (the others lie farther along the same column), and of those above only the
// lowest. So the plane below the slab holds, per column, the highest site below it, the plane above
// the lowest site above it; codes carry their true z, the flood measures with them, and every voxel of
// the slab gets the nearest site of its column, ties included, as in the whole grid, and from then on
// the same label. The planes outside the slab get labels that mean nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/device.h"
#include "../host/device_codes.h"
#include "../host/grid_shape.h"
#include "../host/site_code.h"
#include "../host/slab.h"

CVT_BEGIN_NAMESPACE

// Where the sites go in a slab grid's volume: voxel indices and the codes stored there.
struct SlabSiteEntries {
    std::vector<int64_t> voxels, codes;
};

// The entries for the slab that is planes [firstPlane, firstPlane + planes) of grid `g` (a slab grid,
// whose slab begins at slabFirstPlane, or a whole grid, whose slab is all its planes): every site of
// `codes` (site codes of the whole grid, each once) on the slab's planes, and the sites of the planes
// below and above it.
SlabSiteEntries slabSiteEntries(const std::vector<int64_t>& codes, const GridShape& g, int firstPlane, int planes);

// Stores `count` codes at their voxels of a volume. A 1-D launch of any shape that covers count.
template <class Code>
__global__ void kernelScatterCodes(Code* volume, const CodeIndex<Code>* voxels, const Code* codes, int count);

// Reads `count` codes from their voxels of a volume into `codes`. A 1-D launch of any shape that
// covers count.
template <class Code>
__global__ void kernelGatherCodes(const Code* volume, const CodeIndex<Code>* voxels, Code* codes, int count);

// Empties voronoiBuffers[voronoiIndex] on gridSize and stores the entries there, through the device
// arrays `voxels` and `codes` (of gridSize's code width), which hold at least as many as there are
// entries.
void uploadSlabSites(const SlabSiteEntries& entries, DeviceCodes& voxels, DeviceCodes& codes);

CVT_END_NAMESPACE
