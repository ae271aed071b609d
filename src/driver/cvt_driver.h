// The CVT driver: the whole multi-resolution, over-relaxed Lloyd iteration, from the host density to
// the final labelling of the full grid.
#pragma once

#include "../device/device.h"
#include "cvt_request.h"

CVT_BEGIN_NAMESPACE

// Runs the tessellation. Returns the status of the final copy; every failure before it throws
// cvt::Failure. Leaves gridSize at the full edge, levelIndex at 0, and the final labelling in
// currentSites as well as in request.result.
cudaError_t runCvt(const CvtRequest& request);

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

// Sets the relaxation and the iteration count where a run starts; returns the previous energy that the
// first decision compares with.
float startIterating();

// Iterates on the current level until it converges or `iteration` reaches maxIterations, taking a
// decision every tenth iteration (added to report.decisions and told to the observer). Returns whether
// the level converged.
bool iterateLevel(IterationSteps& steps, int maxIterations, CvtObserver* observer, float& previousEnergy,
                  CvtRunReport& report);

CVT_END_NAMESPACE
