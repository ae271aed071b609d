// A box split into slabs of whole z planes, one per rank of a run across processes, and the grid each
// rank labels its slab in.
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
};

// `planes` planes split into `ranks` slabs in rank order, as even as whole planes allow (every plane
// holds as many voxels, so this balances the voxels): the first planes % ranks slabs hold one plane
// more. Every slab holds at least one plane; throws cvt::Failure when there are more ranks than planes.
std::vector<Slab> slabsOf(int planes, int ranks);

// The grid a rank labels its slab of `whole` in: the slab's planes as planes 1 .. planes, the plane
// just below the slab as plane 0 and the plane just above it after them (see slab_sites.h), then
// empty planes up to the z step. Codes and distances are those of the whole grid.
GridShape slabGrid(const GridShape& whole, Slab slab);

// The first plane of the slab in its grid.
constexpr int slabFirstPlane = 1;

}  // namespace cvt
