// The result of a run on the user's box: every site with the density mass, the centroid, the voxel
// count and the number of 6-connected pieces of its region, and the label of every voxel of the box. Site ids are
// the rows of the sites file, the sites in the order of their codes (by x, then y, then z), from 0; with
// a mask from 1, and voxels outside the mask have label 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/axis_spacing.h"
#include "host/grid_shape.h"

namespace cvt::volume {

struct Tessellation {
    GridBox box;
    std::vector<std::array<int, 3>> sites;  // by id, voxel coordinates in the box
    std::vector<double> mass;               // by id: the density summed over the region, in the file's units
    // By id: the density-weighted centroid of the region in voxel coordinates, x first; NaN for a region
    // without mass. While planes are tabulated: the density-weighted sums of the coordinates.
    std::vector<std::array<double, 3>> centroids;
    std::vector<uint64_t> voxels;           // by id: the region's voxel count
    std::vector<uint32_t> pieces;           // by id: the region's 6-connected pieces (inside the mask)
    std::vector<uint32_t> labels;           // the label of every box voxel, index x + X*(y + Y*z)
    uint32_t firstId = 0;                   // the label of sites[0]: 1 with a mask, else 0

    // Regions in more than one piece.
    size_t splitRegions() const;
    // The largest distance between a site and its region's centroid under `spacing` (physical units),
    // over the regions with mass; 0 when none has any.
    double largestCentroidDistance(const Spacing& spacing) const;
};

// From the final labelling of `grid` (codes in its layout) that holds the box at its origin, the box's
// density and, with a mask, its inside flags (box-sized; null without one). Every label in the box
// must name a site inside the box (cvt::Failure otherwise).
Tessellation tabulate(const int32_t* labelling, const GridShape& grid, GridBox box, const float* density,
                      const uint8_t* inside = nullptr);

// The sites of increasing codes of a layout, as Tessellation::sites gives them.
std::vector<std::array<int, 3>> siteCoordinates(const std::vector<int32_t>& codes, const SiteLayout& layout);

// tabulate's count over some planes of the box: the labels of `planes` (x and y those of the box, z
// the number of planes, whose first is plane firstPlane of the box) from their labelling in the grid's
// frame and their density, with the sites of increasing `codes`. Adds to result.mass, result.centroids
// (as sums) and result.voxels, which hold an entry per site, in voxel order; fills result.labels for
// these planes. finishCentroids then turns the sums into centroids.
void tabulatePlanes(const int32_t* labelling, const GridShape& grid, GridBox planes, int firstPlane,
                    const std::vector<int32_t>& codes, const float* density, const uint8_t* inside,
                    Tessellation& result);
void finishCentroids(Tessellation& result);

}  // namespace cvt::volume
