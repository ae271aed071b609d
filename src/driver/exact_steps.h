// The steps of an iteration with exact region sums (centroid/region_sums.h). The sites are a list on
// the host, in an order of their own that merges keep (the first of two sites that land on one voxel
// stays); each labelling starts from a site volume made from it, and the labelling's sums come back
// as a table by site, from which the host moves every site. One process labels the whole grid; a run
// split into slabs labels each rank's slab, and the ranks add their tables up, so that every rank moves
// every site alike, to the bit.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "../centroid/region_moments.h"
#include "../device/device.h"
#include "../device/device_array.h"
#include "../host/axis_spacing.h"
#include "../host/device_codes.h"
#include "../host/grid_shape.h"
#include "../host/slab.h"
#include "../voronoi/connected_regions.h"
#include "cvt_driver.h"
#include "rank_group.h"

CVT_BEGIN_NAMESPACE

// Where a process labels: its slab of the box's planes, among `ranks` (null: this process alone, with
// the whole grid). On a slab's grid (gridSize.wholeZ > 0) it labels and sums the slab's planes of each
// level; on a whole grid every plane.
struct SlabShare {
    RankGroup* ranks = nullptr;
    Slab slab;
};

// Whether each labelling's regions are made connected (voronoi/connected_regions.h), and which ids break
// the ties there: the sites' places in the list (a run whose regions keep the order of the sites
// given), or the order of their codes.
struct RegionConnection {
    bool enabled = false;
    bool idsFollowList = false;
};

class ExactSteps : public FinishingSteps {
public:

    // `sites`: codes of the current level, each once, inside `box` (the full grid's box); on the buffer
    // set, whose insideMaps (if any) say where a masked run's sites may lie. The device arrays take the
    // width of gridSize's codes.
    ExactSteps(SiteList sites, GridBox box, const AxisWeights& weights, const AxisScales& scales,
               SlabShare share = {}, RegionConnection connection = {});

    void label() override;
    float energy() override;
    int64_t moveSites() override;
    void advanceLevel() override;

    // With the labelling's own weights: what the labelling minimises.
    UInt128 exactEnergy() override;
    const SiteList& sites() const override { return sites_; }
    // No more sites than there were at the start.
    void setSites(SiteList sites) override;
    // Moves that a mask sent to another voxel, so far.
    uint64_t insideMoves() const { return insideMoves_; }
    // With connected regions: what making the last labelling's regions connected did.
    const ConnectedRegionsCount& lastConnection() const { return lastConnection_; }

private:
    void sumRegions();
    void landInside(std::vector<int64_t>& codes, int level, const GridShape& g);
    // The planes of gridSize that this process labels and sums: first, and how many.
    std::pair<int, int> planesOfLevel() const;

    GridBox box_;
    AxisWeights weights_;
    AxisScales scales_;
    SlabShare share_;
    RegionConnection connection_;
    ConnectedRegionsCount lastConnection_;
    SiteList sites_;
    std::vector<int64_t> sortedCodes_;   // the sites' codes, increasing: the rows of the sums table
    std::vector<uint32_t> rowOfSite_;    // by position in sites_
    std::vector<SiteSums> sums_;         // by row, of the current labelling once summed
    SquaredOffsets squared_;             // of every region of the current labelling
    bool summed_ = false;
    uint64_t insideMoves_ = 0;
    DeviceCodes entryVoxels_, entryCodes_, deviceSortedCodes_;
    DeviceArray<int> deviceIds_;
    DeviceArray<SiteSums> deviceSums_;
};

// The memory that ExactSteps takes for `sites` sites on a grid with codes of `codeBytes` bytes, besides
// the buffer set: its device arrays, and its lists and tables on the host.
struct ExactStepsBytes {
    uint64_t device = 0, host = 0;
};
ExactStepsBytes exactStepsBytes(uint64_t sites, int codeBytes);

CVT_END_NAMESPACE
