// The result of a run on the user's box: every site with the density mass, the centroid, the voxel
// count and the number of 6-connected pieces of its region, and the label of every voxel of the box.
// Site ids are the rows of the sites file: given sites in their own order, drawn ones in the order of
// their codes (by x, then y, then z); labels count from the first id, and voxels outside a mask have
// label 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "driver/cvt_request.h"
#include "driver/rank_group.h"
#include "host/axis_spacing.h"
#include "host/grid_shape.h"
#include "host/slab.h"

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
    // The label of every box voxel, index x + X*(y + Y*z) (of a process's slab of planes only, where
    // the box is split among ranks).
    std::vector<uint32_t> labels;
    // By id: the place of the region's site among the initial sites (the row of given ones, the draw of
    // drawn ones), -1 where the run kept no list of its sites.
    std::vector<int64_t> initialIndex;
    uint32_t firstId = 0;                   // the label of sites[0]; 0 is outside a mask

    // Regions in more than one piece.
    size_t splitRegions() const;
    // The largest distance between a site and its region's centroid under `spacing` (physical units),
    // over the regions with mass; 0 when none has any.
    double largestCentroidDistance(const Spacing& spacing) const;
};

// The sites by id: their codes (64-bit, whatever the width of the grid's codes), with the place of each
// among the initial sites, and the id of a code.
class SiteIds {
public:
    explicit SiteIds(std::vector<int64_t> codes, std::vector<int64_t> initialIndex = {});
    // The order of a run's sites: given sites keep the run's order (that of the list given, which merges
    // keep); drawn ones follow the order of their codes.
    static SiteIds ofRun(const SiteList& sites, bool given);
    // The sites of a labelling whose run kept no list: every voxel of the box that its label names, in
    // the order of their codes, of no known initial place. Codes of the width of the grid's (int32_t or
    // int64_t), as below.
    template <class Code>
    static SiteIds ofLabelling(const Code* labelling, const GridShape& grid, GridBox box);

    const std::vector<int64_t>& codes() const { return codes_; }
    const std::vector<int64_t>& initialIndex() const { return initialIndex_; }
    // The id of `code`, or -1.
    int64_t idOf(int64_t code) const;

private:
    std::vector<int64_t> codes_;
    std::vector<int64_t> initialIndex_;
    std::vector<std::pair<int64_t, uint32_t>> byCode_;  // (code, id), increasing
};

// From the final labelling of `grid` (codes in its layout, of its width: int32_t, or int64_t where it is
// wide) that holds the box at its origin, the box's density and, with a mask, its inside flags
// (box-sized; null without one), the sites by id (default: those of the labelling), their labels
// counted from firstId (at least 1 with a mask). Every label in the box must name one of the sites
// (cvt::Failure otherwise).
template <class Code>
Tessellation tabulate(const Code* labelling, const GridShape& grid, GridBox box, const float* density,
                      const uint8_t* inside = nullptr, uint32_t firstId = 0,
                      const std::optional<SiteIds>& ids = std::nullopt);
// The same over a box split into slabs among `ranks`: each holds the labelling, the density and the
// flags of its own slab's planes, and gets the labels of them and the tables of the whole box, which
// are those of one process (masses and centroids summed in voxel order, rank after rank). The sites
// by id must be given unless the ranks are one.
template <class Code>
Tessellation tabulate(const Code* labelling, const GridShape& grid, GridBox box, Slab slab, const float* density,
                      const uint8_t* inside, uint32_t firstId, const std::optional<SiteIds>& ids, RankGroup& ranks);

// The sites of `codes` of a layout, as Tessellation::sites gives them.
std::vector<std::array<int, 3>> siteCoordinates(const std::vector<int64_t>& codes, const SiteLayout& layout);

// tabulate's count over some planes of the box: the labels of `planes` (x and y those of the box, z
// the number of planes, whose first is plane firstPlane of the box) from their labelling in the grid's
// frame and their density, with the sites of `ids`. Adds to result.mass, result.centroids
// (as sums) and result.voxels, which hold an entry per site, in voxel order; fills result.labels for
// these planes. finishCentroids then turns the sums into centroids.
template <class Code>
void tabulatePlanes(const Code* labelling, const GridShape& grid, GridBox planes, int firstPlane,
                    const SiteIds& ids, const float* density, const uint8_t* inside, Tessellation& result);
void finishCentroids(Tessellation& result);

}  // namespace cvt::volume
