// A box split into slabs of whole z planes, one per rank of a run across processes, and the grid each
// rank labels its slab in. A run in one process is the run of one rank whose slab is the whole box.
#pragma once

#include <string>
#include <vector>

#include "grid_shape.h"

namespace cvt {

// Planes [begin, end) of the box.
struct Slab {
    int begin = 0, end = 0;
    int planes() const { return end - begin; }
    bool operator==(const Slab& other) const { return begin == other.begin && end == other.end; }
    // The slab on pyramid level `level`: every coarse plane with a fine plane in the slab.
    Slab halved(int level) const { return Slab{begin >> level, (end + (1 << level) - 1) >> level}; }
};

// `planes` planes split into `ranks` slabs in rank order, as even as whole planes allow (every plane
// holds as many voxels, so this balances the voxels), every slab but the last a multiple of
// `alignment` planes (a power of two, 2^(levels - 1) for a run of several pyramid levels, so that each
// level halves every slab exactly): the first slabs hold one unit of `alignment` planes more, and the
// last ends with the planes beyond the last whole unit (it may hold those alone). Throws cvt::Failure
// where some rank would get no plane.
std::vector<Slab> slabsOf(int planes, int ranks, int alignment = 1);

// The grid a rank labels its slab of `whole` in, on a run of `levels` pyramid levels: the whole grid
// itself when the slab holds every one of the box's `boxPlanes` planes. Otherwise the slab's planes with
// 2^(levels - 1) planes below and above them (a labelling needs one on each side at every level: the
// nearest sites below and above the slab, see voronoi/slab_sites.h), then empty planes up to a multiple
// of 4 * 2^(levels - 1), so that halving it gives the slab's grid of every coarser level. Codes and
// distances are those of the whole grid (zOrigin, wholeZ).
GridShape slabGrid(const GridShape& whole, Slab slab, int boxPlanes, int levels = 1);

// The plane of grid g (a slabGrid, or a coarse level of one, or a whole grid) that is the first plane
// of `slab` (of that level).
inline int slabFirstPlane(const GridShape& g, Slab slab) { return slab.begin - g.zOrigin; }

}  // namespace cvt
