// The second half of making regions connected (connected_regions.h), on the host: what becomes of the
// voxels that the device found cut off from their site.
//
// A region's piece that holds no site is "detached". The device hands over every detached voxel with
// its six neighbours; those neighbours are either detached too, or hold their site ("anchored"), or
// belong to no region. Detached pieces are few and small, and their fate depends on one another, so
// they are settled here, in rounds:
//   - every detached piece that touches anchored voxels goes to the label with which it shares the most
//     faces among them (ties: the smaller site id), and is anchored from then on;
//   - a detached piece next to a piece that has just taken its own label is joined to its site through
//     it: it stays as it is, anchored too;
//   - a piece that touches no anchored voxel waits for a later round.
// Every round decides from the state the round began with, so no piece's decision depends on the
// order in which pieces are visited. Only anchored voxels attract, so every move joins a piece that
// holds its site: the anchored voxels grow every round, and two detached pieces can never trade labels
// back and forth. The rounds end when no piece is left that touches an anchored voxel; the pieces
// still detached then lie where no site can reach them (a part of the mask without a site) and keep
// their labels.
#pragma once

#include <cstdint>
#include <vector>

#include "host/grid_shape.h"

namespace cvt {

// The six face neighbours, in this order: -x, +x, -y, +y, -z, +z.
constexpr int faceNeighbours = 6;
// What a detached voxel's record says of a neighbour that is not anchored.
constexpr int64_t noRegionNeighbour = -1;  // outside the box or the mask
constexpr int64_t detachedNeighbour = -2;  // detached itself: it has a record of its own

// A detached voxel as the device describes it: its index in the grid, its label (a site code) and, for
// each face neighbour, the neighbour's label when it is anchored, else one of the values above. In 64
// bits whatever the width of the grid's codes: there are few of them.
struct DetachedVoxel {
    int64_t voxel;
    int64_t code;
    int64_t neighbours[faceNeighbours];
};

// The sites by increasing code, each with the id that breaks ties (the smaller wins).
struct SiteIds {
    std::vector<int64_t> codes;
    std::vector<int32_t> ids;
};

struct DetachedResolution {
    std::vector<int64_t> voxels, codes;  // the voxels that change label and their new labels, by voxel
    uint64_t apartPieces = 0;            // detached pieces that no site reaches, left as they were
};

// Settles the detached voxels of grid `g` (any order; each once). Throws cvt::Failure when the records
// contradict one another (a detached neighbour without a record) or an anchored label names no site.
DetachedResolution resolveDetachedPieces(std::vector<DetachedVoxel> detached, const GridShape& g, const SiteIds& sites);

}  // namespace cvt
