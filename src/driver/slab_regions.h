// Making the regions of a labelling connected (voronoi/connected_regions.h) where a run is split into
// slabs of whole planes, each rank holding its slab's grid, to the labels one process gives on the
// whole grid.
//
// A region can leave a slab and come back, or reach its site only through another slab, so the ranks
// anchor in rounds. Each rank first gets its neighbours' nearest planes of labels, into the planes just
// below and above its own; then, each round, it anchors its planes (and those two) from its own sites
// and from the anchored voxels its neighbours last reported on those two planes, and reports its own
// first and last plane's anchored voxels to them. Anchored voxels only grow, and they are the whole
// grid's once a round changes no rank's report. The detached voxels, with their neighbours as the
// whole grid has them, then go to every rank, each of which settles them all alike and stores the new
// labels of its own planes.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "../host/site_code.h"
#include "../voronoi/connected_regions.h"
#include "rank_group.h"

CVT_BEGIN_NAMESPACE

// makeRegionsConnected for this rank's planes [planes.first, planes.end) of grid g (a slab's grid of a
// level of the run, or a whole grid where the rank holds every plane), within `box` (the level's box
// in g's planes) and the mask that `nearestInside` gives, among `ranks`, whose slabs lie in rank order.
// The labels of the planes next to the slab's are overwritten (they mean nothing in a labelling). The
// counts are the whole grid's, on every rank.
// Codes of type Code, that of g's layout (site_code.h).
template <class Code>
ConnectedRegionsCount makeSlabRegionsConnected(Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                               const RegionPlanes& planes, const CodeOf<Code>* nearestInside,
                                               const DeviceSiteTable<Code>& sites, RankGroup& ranks);

CVT_END_NAMESPACE
