// The preview picture of a tessellation: the three orthogonal slices through one voxel, side by side
// and labelled, each showing the density in grey, the borders between regions as thin lines coloured
// per site and the sites that lie in the slice plane as dots, with a caption line underneath.
// Plain host code; nvcc sees this header too (the benchmark), so it stays C++17.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/grid_shape.h"
#include "rgb_image.h"

namespace cvt::volume {

// The voxel in the middle of the box, where the slices go unless the user picks a point.
std::array<int, 3> boxCentre(const GridBox& box);

struct PreviewScene {
    GridBox box;                                   // the volume's sides; x fastest in memory
    // The voxels of planes [firstPlane, firstPlane + planes) of the box (planes 0: every plane), index
    // x + X*(y + Y*(z - firstPlane)): the density, values >= 0, and the site id of every voxel.
    const float* density;
    const uint32_t* labels;
    const std::vector<std::array<int, 3>>* sites;  // site coordinates by id; any outside the box are not drawn
    std::array<int, 3> at;                         // slice planes x = at[0], y = at[1], z = at[2]
    std::string caption;                           // e.g. "energy 11747.20   10000 sites"
    bool zeroIsOutside = false;                    // label 0 is the outside of a mask: dark, no borders
    int firstPlane = 0, planes = 0;
};

// One slice's voxels, row by row: `rows` rows of `columns`.
struct SliceVoxels {
    int columns = 0, rows = 0;
    std::vector<float> density;
    std::vector<uint32_t> labels;
};
using PreviewSlices = std::array<SliceVoxels, 3>;

// What the scene's planes hold of the three slices: of the x and the y slice (whose rows are z planes)
// the rows of those planes; of the z slice all of it where its plane is among them, else nothing.
PreviewSlices heldSlices(const PreviewScene& scene);
// The slices of a box whose planes are held in parts, from each part's heldSlices in plane order.
PreviewSlices joinedSlices(const std::vector<PreviewSlices>& parts);

// The slice of axis a (0: the plane x = at[0], 1: y = at[1], 2: z = at[2]) has its own axes u to the
// right and v downwards: (y, z) for the x slice, (x, z) for the y slice, (x, y) for the z slice.
// Slice voxel (u, v) covers the scale x scale pixels whose top-left one is
// (left + u * scale, top + v * scale); the slice has `columns` x `rows` voxels.
struct SlicePlacement {
    int left, top, scale, columns, rows;
};

// Both throw cvt::Failure when the scene is unusable: a side below 1, a missing volume, a slice point
// outside the box, or a picture too large to make.
SlicePlacement slicePlacement(const PreviewScene& scene, int axis);
RgbImage renderPreview(const PreviewScene& scene);
// The same from the slices, gathered (scene's density and labels are not read).
RgbImage renderPreview(const PreviewScene& scene, const PreviewSlices& slices);

// Renders the picture and writes it as a PNG file that appears completely or not at all.
void writePreview(const std::string& path, const PreviewScene& scene);
void writePreview(const std::string& path, const PreviewScene& scene, const PreviewSlices& slices);

}  // namespace cvt::volume
