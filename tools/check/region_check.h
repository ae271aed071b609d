// Checks of a labels file's regions beyond nearest sites: that a run made them connected, and that an
// adjacency table describes them. Labels are ids of a box, x fastest; with a mask (firstId 1) label 0
// is the outside, which belongs to no region.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/adjacency_csv.h"
#include "host/axis_spacing.h"
#include "host/grid_shape.h"

namespace cvt::check {

// The first problem with regions made connected, in words, or nothing. `nearest` holds the id of every
// voxel's exact nearest site, `siteVoxels` the voxel index of each site (by id - firstId). Every region
// must be one 6-connected piece that holds its site, but for pieces in a part of the mask that holds no
// site at all; and every voxel not labelled with its nearest site must lie in a piece of the
// nearest-site labelling that does not hold its site.
std::optional<std::string> connectedProblem(const std::vector<uint32_t>& ids, const std::vector<uint32_t>& nearest,
                                            GridBox box, uint32_t firstId, const std::vector<size_t>& siteVoxels);

// The first difference between `rows` and the adjacency of the labels under `spacing` (x first), in
// words, or nothing: the same pairs a < b in order, the same face counts, areas within 1e-9.
std::optional<std::string> adjacencyProblem(const std::vector<formats::AdjacencyRow>& rows,
                                            const std::vector<uint32_t>& ids, GridBox box, const Spacing& spacing);

}  // namespace cvt::check
