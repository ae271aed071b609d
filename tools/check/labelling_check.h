// Independent verification of a labelling: every voxel must carry an exact nearest site among the
// sites that occur in it (ties: smallest x, then smallest y, then largest z).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvt::check {

struct LabellingVerdict {
    bool exact = true;
    std::string problem;  // the first voxel found wrong, in words
    size_t siteCount = 0;
};

// `labels` holds edge^3 site codes in the voxel layout (x fastest).
LabellingVerdict verifyLabelling(const std::vector<int32_t>& labels, int edge);

// The density-weighted sum of squared distances to the sites, distances scaled to a cube of edge 2.
double cvtEnergy(const std::vector<int32_t>& labels, const std::vector<float>& density, int edge);

}  // namespace cvt::check
