// Verification of cvt-volume's files: a labels file (a site id per voxel) with its sites file (one row
// per id), and optionally the density they were computed from.
#pragma once

#include <optional>
#include <string>

#include "host/axis_spacing.h"

namespace cvt::check {

// What to check beyond nearest sites.
struct RegionChecks {
    bool connected = false;                    // the run made its regions connected (cvt-volume --connected)
    std::optional<std::string> adjacencyPath;  // an adjacency table of the labels (cvt-volume --adjacency)
};

struct LabelsFileVerdict {
    bool valid = true;
    std::string problem;  // the first problem found, in words
    size_t siteCount = 0;
    uint64_t awayFromNearest = 0;  // with RegionChecks::connected: voxels labelled other than their nearest site
    std::optional<size_t> adjacentPairs;  // with an adjacency table: its rows
    std::optional<double> energy;  // with a density: on the program's scale (see checkLabelsFile)
    Spacing spacing{1, 1, 1};      // what distances were measured with
};

// Checks that every voxel's site is an exact nearest site among the listed ones (ties: smallest x,
// then y, then largest z), that every listed site lies in the box once, and that the voxel counts
// (and, with a density, the masses) in the sites file match the labels. Distances are measured with
// `spacing`, else the density file's, else the labels file's (as cvt-volume weights them). Unreadable or
// malformed files, and an unusable spacing, throw cvt::Failure. The energy is the one cvt-volume
// reports: the density divided by its maximum, distances in units of the smallest spacing scaled by
// 2 / E, E the edge of the smallest cube the program fits the box into.
//
// A sites file whose ids start at 1 belongs to a masked run: label 0 marks the outside, which has no
// site; with `maskPath` the labels must be 0 exactly where the mask is.
//
// With regions.connected, voxels may carry another site than their nearest where the run moved them:
// then every region must be one 6-connected piece holding its site (but in a part of the mask that no
// site reaches), and every voxel away from its nearest site must lie in a piece of the nearest-site
// labelling that does not hold its site (region_check.h). With regions.adjacencyPath, the table must
// be the labels' own under the spacing used.
LabelsFileVerdict checkLabelsFile(const std::string& labelsPath, const std::string& sitesPath,
                                  const std::optional<std::string>& densityPath,
                                  const std::optional<Spacing>& spacing = std::nullopt,
                                  const std::optional<std::string>& maskPath = std::nullopt,
                                  const RegionChecks& regions = {});

}  // namespace cvt::check
