// The files a cvt-volume run writes, each only when asked for and each completely or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "density_input.h"
#include "options.h"
#include "tessellation/tessellation_request.h"

namespace cvt::volume {

// The labels file: the label of every voxel of the box, uint16 while the labels fit, else uint32, with
// the input's axis order (.npy in Fortran order when the input was) and, in NRRD and NIfTI, its place
// in space.
void writeLabels(const std::string& path, const Tessellation& tessellation, const DensityInput& input);

// The labels file's sample type, and its labels in uint16 when that is the type.
formats::SampleType labelSampleType(const Tessellation& tessellation);
std::vector<uint16_t> narrowLabels(const std::vector<uint32_t>& labels);

// The sites file: id,x,y,z,mass,voxels,pieces,cx,cy,cz,initial_index.
void writeSites(const std::string& path, const Tessellation& tessellation);

// The adjacency file: a,b,faces,area for every pair of labels that touch, areas under `spacing`.
void writeAdjacency(const std::string& path, const Tessellation& tessellation, const Spacing& spacing);

// One line "v X Y Z" per voxel of the box, x outermost, z innermost; "-" is standard output. The
// labelling's codes have the grid's width (int32_t, or int64_t where it is wide).
template <class Code>
void writeText(const std::string& path, const Code* labelling, const GridShape& grid, GridBox box);

}  // namespace cvt::volume
