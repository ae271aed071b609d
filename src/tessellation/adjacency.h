// Which regions touch and how much: the graph that merging, graph cuts and proofreading start from.
#pragma once

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

}  // namespace cvt::volume
