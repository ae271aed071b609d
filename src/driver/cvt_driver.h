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

CVT_END_NAMESPACE
