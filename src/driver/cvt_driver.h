// The CVT driver: the whole multi-resolution, over-relaxed Lloyd iteration, from the host density to
// the final labelling of the full grid.
#pragma once

#include <vector>

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// Runs the tessellation on the buffer set allocated for the full edge (gridSize on entry):
// `hostDensity` holds the full-resolution density, `hostResult` (full-size) first stages the seed
// volume and finally receives the labelling. At most `maxLevels` pyramid levels (>= 1) are used and
// at most `maxIterations` iterations are run, counted over all levels. Returns the status of the
// final copy; every failure before it throws cvt::Failure.
cudaError_t runCvt(const float* hostDensity, int siteCount, int* hostResult, int maxLevels, int maxIterations);

// What the last runCvt did, for reports and tests.
struct CvtRunReport {
    int levelCount = 0;
    std::vector<int> levelEndIterations;  // value of `iteration` when each level ended, coarsest first
    std::vector<float> energies;          // every energy evaluated, in order
    std::vector<float> relaxations;       // the relaxation factor set by each decision
};
const CvtRunReport& lastCvtRun();

CVT_END_NAMESPACE
