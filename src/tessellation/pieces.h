// Whether regions are in one piece: inside a folded object a region of Euclidean nearest-site voxels
// can straddle a gap and fall apart, which users of supervoxels need to know.
//
// A volume split into slabs of whole z planes (one per process) is counted slab by slab: each slab
// counts its own pieces and hands over the runs of its outer planes, the runs of neighbouring slabs
// that touch join pieces, and the joins turn the sum of the slab counts into the counts of the whole.
// The types are plain data so that they travel between processes as bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "host/grid_shape.h"

namespace cvt::volume {

// A maximal run of one label along x on an outer plane of a slab: [start, end) as offsets x + X*y
// within the plane (a run never leaves its row, so runs of different rows never overlap), and the
// slab's own id of the piece the run belongs to.
struct PlaneRun {
    int start, end;
    uint32_t label;
    uint32_t piece;
};

// Two pieces of neighbouring slabs, both of region `label`, that touch through the plane between them.
struct PieceJoin {
    uint32_t below, above;  // piece ids of the lower and of the upper slab
    uint32_t label;
};

struct SlabPieces {
    std::vector<uint32_t> count;       // pieces of each label inside the slab, as countPieces gives them
    std::vector<PlaneRun> bottom, top;  // runs of the first and of the last plane, in plane order
};

// The pieces of a slab (labels of its own planes only, index x + X*(y + Y*z)); piece ids are 0, 1, ...
// over the pieces that reach an outer plane. Runs of label 0 are left out when `zeroIsOutside`.
SlabPieces countSlabPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside);

// The number of 6-connected pieces of each region of a label volume of the box (index x + X*(y + Y*z)):
// entry l for label l, for labels 0 .. labelCount - 1. Label 0 counts no pieces when `zeroIsOutside`
// (the outside of a mask).
std::vector<uint32_t> countPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside);

// The pieces that touch across the plane between a slab's `top` runs and the `bottom` runs of the
// slab above it.
std::vector<PieceJoin> joinAcrossBoundary(const std::vector<PlaneRun>& belowTop,
                                          const std::vector<PlaneRun>& aboveBottom);

// The counts of the whole volume from the counts of its slabs in z order and, for each plane between
// slab r and slab r + 1, the joins across it (joins.size() == slabCounts.size() - 1).
std::vector<uint32_t> mergeSlabCounts(const std::vector<std::vector<uint32_t>>& slabCounts,
                                      const std::vector<std::vector<PieceJoin>>& joins);

}  // namespace cvt::volume
