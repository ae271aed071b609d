// What a run of the CVT driver is asked to do, what it tells an observer as it goes, and what it
// reports at the end. Plain data, shared by the backends and by host-only code.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../host/axis_spacing.h"
#include "../host/grid_shape.h"
#include "../host/site_list.h"
#include "../host/slab.h"
#include "../host/site_placement.h"

namespace cvt {

class RankGroup;

// One decision, taken every tenth iteration: the energy of the labelling before that iteration's
// move (on the scale of the full grid) and the relaxation factor set for the next iterations. The
// plain steps that finish a run with exact sums are told alike, one per iteration, with relaxation 1.
struct CvtDecision {
    int iteration = 0;
    int levelIndex = 0;
    float energy = 0.0f;
    float relaxation = 0.0f;
    int64_t sitesMoved = -1;  // by that iteration's move (merges included); -1 where the run cannot tell
};

// Told what the driver does as it goes, from the host thread that runs it. Nothing is reported
// between the launches of an iteration, so an observer costs no device synchronisation.
class CvtObserver {
public:
    virtual ~CvtObserver() = default;
    virtual void iterationDone(int /*iteration*/, int /*levelIndex*/) {}
    virtual void decisionTaken(const CvtDecision& /*decision*/) {}
};

// Why the level loop ended.
enum class CvtStop {
    converged,        // exact sums: a plain step moved no site, so every site is on its region's rounded centroid
    stalled,          // exact sums: plain steps stopped lowering the energy without reaching a fixed point
    energyCriterion,  // float sums: the energy fell by less than the threshold on the full grid
    iterationBudget,  // `iteration` reached maxIterations
    noIterations,     // maxIterations was 0: the initial sites were only labelled
};

// The stop's name in reports: "converged", "stalled", "energy_criterion", "iteration_budget",
// "no_iterations".
inline const char* stopName(CvtStop stop) {
    switch (stop) {
    case CvtStop::converged: return "converged";
    case CvtStop::stalled: return "stalled";
    case CvtStop::energyCriterion: return "energy_criterion";
    case CvtStop::iterationBudget: return "iteration_budget";
    case CvtStop::noIterations: return "no_iterations";
    }
    return "unknown";
}

// A run of the driver. The buffer set is allocated for the full grid (gridSize on entry).
struct CvtRequest {
    // The full-resolution density of the box's planes of this process's slab, x fastest (box.x * box.y
    // per plane: with the whole grid as the box, the density of the grid), each value divided by
    // densityDivisor on its way to the device. The grid outside the box has density zero.
    const float* density = nullptr;
    float densityDivisor = 1.0f;
    // Receives the final labelling of the slab's planes, in the grid's rows (grid.x * grid.y per plane),
    // as codes of the grid's width (site_code.h); null: the labelling stays in currentSites only.
    void* result = nullptr;
    int siteCount = 0;               // sites to place (ignored for given sites)
    int maxLevels = 1;               // pyramid levels to use, at least 1
    int maxIterations = 0;           // counted over all levels; 0 labels the initial sites only
    GridBox box{};                   // where the density and the sites lie; empty: the whole grid
    // Flags of the slab's planes of the box (as the density), 1 inside the mask: every site starts and
    // stays on an inside voxel (a move that would leave the mask lands on the inside voxel nearest to
    // where it would have gone). Null: no mask. The density is expected to be zero outside.
    const uint8_t* inside = nullptr;
    SitePlacement placement;
    // The voxel spacing, x first: the labelling and the energy measure physical distance with it (only
    // its ratios matter; the same at every pyramid level, each of which halves every axis). Sites and
    // centroids stay in voxel coordinates, in which a region's centroid is the same whatever the spacing.
    Spacing spacing{1, 1, 1};
    // Where this process runs: among `ranks` (null: alone), holding `slab`, planes of the box (empty:
    // every plane). The buffer set is allocated for slabGrid(whole grid, slab, box.z, levels used), and
    // the density, the mask's flags and the result hold the slab's planes alone.
    RankGroup* ranks = nullptr;
    Slab slab{};
    // Exact sums only: every labelling's regions made one 6-connected piece that holds its site
    // (voronoi/connected_regions.h) before the centroid step; the final labelling's too.
    bool connected = false;
    // The order of the ids that break the connected regions' ties: that of the given sites (true), or
    // that of the sites' codes.
    bool idsFollowPlacement = false;
    CvtObserver* observer = nullptr;
};

// What a run did, for reports and tests.
struct CvtRunReport {
    int levelCount = 0;
    int sitesPlaced = 0;
    std::vector<int> levelEndIterations;  // value of `iteration` when each level ended, coarsest first
    std::vector<CvtDecision> decisions;   // every decision, in order
    CvtStop stop = CvtStop::iterationBudget;
    int plainSteps = 0;           // exact sums: the plain steps that finished the run
    std::optional<float> finalEnergy;  // exact sums: the energy of the final labelling
    SiteList finalSites;          // exact sums: the sites of the final labelling, in the run's order
    uint64_t insideMoves = 0;     // with a mask: site moves that the mask sent to another voxel
    // With connected regions, in the final labelling: the voxels that went to another region, and the
    // detached pieces that no site reaches, which kept their labels.
    bool connected = false;
    uint64_t connectedMoves = 0, apartPieces = 0;
    double setupSeconds = 0;      // density upload, pyramid and seeding
    double iterationSeconds = 0;  // the iterations, the final labelling and its copy to the host
};

}  // namespace cvt
