// The CVT driver: the whole multi-resolution, over-relaxed Lloyd iteration, from the host density to
// the final labelling of the full grid.
#pragma once

#include <cstdint>
#include <vector>

#include "../centroid/region_moments.h"
#include "../device/device.h"
#include "../host/slab.h"
#include "cvt_request.h"

CVT_BEGIN_NAMESPACE

// Runs the tessellation. Returns the status of the final copy; every failure before it throws
// cvt::Failure. Leaves gridSize at the full edge, levelIndex at 0, and the final labelling in
// currentSites as well as in request.result (where that is not null).
cudaError_t runCvt(const CvtRequest& request);

// Copies the planes of `slab` (of the box) from the labelling in currentSites on full grid `full` (a
// slab's grid, or the whole grid) to `result`, in the grid's rows and codes.
cudaError_t copyLabelling(void* result, const GridShape& full, Slab slab);

// The program's own run: `hostDensity` holds the full-resolution density, `hostResult` (full-size)
// first stages the seed volume and finally receives the labelling; the sites are drawn from the fixed
// start over the whole grid. At most `maxLevels` pyramid levels (>= 1) are used and at most
// `maxIterations` iterations are run, counted over all levels.
cudaError_t runCvt(const float* hostDensity, int siteCount, int* hostResult, int maxLevels, int maxIterations);

const CvtRunReport& lastCvtRun();

// Fills level 0 of the density pyramid on gridSize: plane firstPlane + k with plane k of `density`, a
// box of these sides x fastest, each value divided by `divisor`; zero beyond the box and outside those
// planes.
void uploadDensityPlanes(const float* density, GridBox sides, float divisor, int firstPlane);

// The steps of an iteration, as a run carries them out, and the move to a finer level.
class IterationSteps {
public:
    virtual ~IterationSteps() = default;
    virtual void label() = 0;          // labels the current sites
    virtual float energy() = 0;        // of that labelling, on the scale of the full grid
    // Moves every site by the relaxation factor towards its centroid; returns how many sites moved
    // (merges included), or -1 where the steps cannot tell.
    virtual int64_t moveSites() = 0;
    virtual void advanceLevel() = 0;   // carries the sites from level levelIndex to the next finer one
};

// What the plain steps that finish a run need beyond an iteration's steps: the energy of the current
// labelling exactly, and the sites, to go back to.
class FinishingSteps : public IterationSteps {
public:
    virtual UInt128 exactEnergy() = 0;
    virtual const SiteList& sites() const = 0;
    // Replaces the sites; the next labelling starts from them.
    virtual void setSites(SiteList sites) = 0;
};

// Sets the relaxation and the iteration count where a run starts; returns the previous energy that the
// first decision compares with.
float startIterating();

// Iterates on the current level until it settles or `iteration` reaches maxIterations, taking a
// decision every tenth iteration (added to report.decisions and told to the observer). A level settles
// when a decision finds the energy's fall small enough, or when a move leaves every site where it was.
// Returns whether the level settled.
bool iterateLevel(IterationSteps& steps, int maxIterations, CvtObserver* observer, float& previousEnergy,
                  CvtRunReport& report);

// After the over-relaxed schedule has settled on the full grid: plain Lloyd steps (relaxation 1) until
// a step moves no site (converged: a fixed point), or until the energy has not fallen below its lowest
// for a few steps in a row without one (stalled: the steps go back to the sites of the lowest energy
// seen), or until `iteration` reaches maxIterations. Every step is told to the observer and added to
// report.decisions; report.plainSteps counts them.
CvtStop finishWithPlainSteps(FinishingSteps& steps, int maxIterations, CvtObserver* observer, CvtRunReport& report);

CVT_END_NAMESPACE
