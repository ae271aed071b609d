// The result of a run on the user's box: every site with the density mass and the voxel count of its
// region, and the site id of every voxel of the box. Ids are the rows of the sites file: the sites in
// the order of their codes (by x, then y, then z).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/grid_edge.h"

namespace cvt::volume {

struct Tessellation {
    GridBox box;
    std::vector<std::array<int, 3>> sites;  // by id, voxel coordinates in the box
    std::vector<double> mass;               // by id: the density summed over the region, in the file's units
    std::vector<uint64_t> voxels;           // by id: the region's voxel count
    std::vector<uint32_t> labels;           // the id of every box voxel, index x + X*(y + Y*z)
};

// From the final labelling of the grid of edge `edge` that holds the box at its origin, and the box's
// density. Every label in the box must name a site inside the box (cvt::Failure otherwise).
Tessellation tabulate(const int32_t* labelling, int edge, GridBox box, const float* density);

}  // namespace cvt::volume
