// Whether regions are in one piece: inside a folded object a region of Euclidean nearest-site voxels
// can straddle a gap and fall apart, which users of supervoxels need to know.
#pragma once

#include <cstdint>
#include <vector>

#include "host/grid_shape.h"

namespace cvt::volume {

// The number of 6-connected pieces of each region of a label volume of the box (index x + X*(y + Y*z)):
// entry l for label l, for labels 0 .. labelCount - 1. Label 0 counts no pieces when `zeroIsOutside`
// (the outside of a mask).
std::vector<uint32_t> countPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside);

}  // namespace cvt::volume
