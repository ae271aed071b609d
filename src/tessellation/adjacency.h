// Which regions touch and how much: the graph that merging, graph cuts and proofreading start from.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "formats/adjacency_csv.h"
#include "host/axis_spacing.h"
#include "host/grid_shape.h"

namespace cvt::volume {

// One row per pair of labels a < b that share at least one voxel face in a label volume of the box
// (index x + X*(y + Y*z)), ordered by a, then b, with the number of those faces and their area under
// `spacing` (x first): a face between neighbours along x has area sy * sz, and so on. Faces on the
// box's own boundary have no second label and are not counted; label 0 is an ordinary label here (the
// outside of a mask, where there is one).
std::vector<formats::AdjacencyRow> labelAdjacency(const std::vector<uint32_t>& labels, GridBox box,
                                                  const Spacing& spacing);

// The same in parts, for a box split into slabs of planes: the faces of each pair of labels along each
// axis, counted over planes [0, planes) of a label volume of `box` (box.z > planes adds the faces between
// plane planes - 1 and the plane above it, a neighbouring slab's first), ordered by pair. Plain data,
// to travel between processes.
struct PairFaceCount {
    uint32_t a, b;  // a < b
    std::array<uint64_t, 3> faces;
};
std::vector<PairFaceCount> countPairFaces(const uint32_t* labels, GridBox box, int planes);
// The rows of counts of every part (a pair may come several times), as labelAdjacency gives them.
std::vector<formats::AdjacencyRow> adjacencyRows(std::vector<PairFaceCount> counts, const Spacing& spacing);

}  // namespace cvt::volume
