// A run split across ranks, each holding a slab of whole z planes of the box (host/slab.h): every rank
// labels its own slab exactly (voronoi/slab_sites.h), the ranks add up their exact per-site region sums
// (driver/exact_steps.h), and then every rank holds every site and takes every decision alike. The run
// gives the same bits on any number of ranks as runCvt with exact sums gives on one.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/device.h"
#include "../host/buffers.h"
#include "../host/host_labelling.h"
#include "../host/slab.h"
#include "cvt_request.h"
#include "rank_group.h"

CVT_BEGIN_NAMESPACE

struct SlabCvtRequest {
    // The slab's planes of the box's density, x fastest (box.x * box.y * slab.planes() values), each
    // divided by densityDivisor on its way to the device.
    const float* density = nullptr;
    float densityDivisor = 1.0f;
    GridShape grid;   // the whole grid
    GridBox box{};    // the whole box, at the grid's origin
    Slab slab;        // this rank's planes of the box
    int siteCount = 0;
    int maxIterations = 0;  // 0 labels the initial sites only
    SitePlacement placement;
    Spacing spacing{1, 1, 1};
    CvtObserver* observer = nullptr;
    RankGroup* ranks = nullptr;
};

struct SlabCvtRun {
    HostLabelling labelling;  // the slab's planes of the grid, x fastest, as site codes
    float energy = 0;                // of the final labelling
    CvtRunReport report;
    double bytesSentPerIteration = 0;  // by this rank to the others, on average over the iterations
};

// One level, the full grid: the pyramid and masks are for single runs. Allocates the buffer set for
// the slab's grid and releases it before returning; throws cvt::Failure as runCvt does.
SlabCvtRun runSlabCvt(const SlabCvtRequest& request);

CVT_END_NAMESPACE
