// The synthetic density field: a Gaussian bump of peak 1.0 in the centre of the 256^3 grid plus a small
// non-negative ripple. Every value is fixed to the bit, so that every run starts from the same field.
#pragma once

#include <cstddef>

namespace cvt {

constexpr int densityEdge = 256;
constexpr size_t densityVoxels = size_t(densityEdge) * densityEdge * densityEdge;

// Fills volume[x + 256*y + 65536*z] for every voxel of the 256^3 grid. The work is split over the
// host's threads; the values do not depend on the split.
void synthesizeDensity(float* volume);

}  // namespace cvt
