// Independent verification of a labelling: every voxel must carry an exact nearest site among the
// sites (ties: smallest x, then smallest y, then largest z).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/axis_spacing.h"
#include "host/grid_shape.h"

namespace cvt::check {

struct LabellingVerdict {
    bool exact = true;
    std::string problem;  // the first voxel found wrong, in words
    size_t siteCount = 0;
};

// A voxel outside a mask, which has no site and is not checked.
constexpr int32_t outsideLabel = -1;

// `labels` holds the site codes (of layout `codes`) of the voxels of `box` (x fastest), or outsideLabel;
// `sites` are every site there is, each a voxel of the box. Distances are weighted as the program's
// labelling weights them.
LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, GridBox box,
                                 const std::vector<std::array<int, 3>>& sites, const AxisWeights& weights = {},
                                 const SiteLayout& codes = {});

// The exact nearest site of every voxel of `labels` that is not outsideLabel (outsideLabel elsewhere),
// as codes. Each label must be one of `sites`: its distance bounds the search.
std::vector<int32_t> nearestLabelling(const std::vector<int32_t>& labels, GridBox box,
                                      const std::vector<std::array<int, 3>>& sites, const AxisWeights& weights = {},
                                      const SiteLayout& codes = {});

// The same for edge^3 site codes, the sites being those that occur in the labelling.
LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, int edge);

// The density-weighted sum of squared distances to the sites of the voxels of `box`, each distance
// scaled by 2 / scaleEdge (the program measures in a cube of edge 2 around its whole grid) and by the
// axis's scale.
double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, GridBox box, int scaleEdge,
                 const AxisScales& scales = {}, const SiteLayout& codes = {});
double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, int edge);

}  // namespace cvt::check
