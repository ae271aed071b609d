// A NumPy array as the density of a run. The array's own index order is kept: its last axis is the
// one the run calls x, so that a result depends on the values and the shape alone, not on how the array
// lies in memory.
#pragma once

#include <pybind11/numpy.h>

#include "tessellation/tessellation_request.h"

namespace cvt::python {

// A view of the array's samples, where they lie (cvt::InvalidInput for arrays that are not 3-D or of
// a sample type that cvt-volume does not read, or not in native byte order), whose messages name voxels
// as `naming` says.
volume::DensityView densityViewOf(const pybind11::array& density, formats::VoxelNaming naming);

// Sites given by array index, (N, 3), as voxels (x, y, z).
std::vector<std::array<int, 3>> voxelsOfIndices(const pybind11::array_t<int64_t>& indices);

}  // namespace cvt::python
