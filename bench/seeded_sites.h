// The sites of a real run at edge n: the program's own seeding, scaled to keep 10000 sites per 256^3.
#pragma once

#include <cstdint>
#include <vector>

#include "host/axis_spacing.h"
#include "host/buffers.h"
#include "host/seeding.h"

CVT_BEGIN_NAMESPACE

constexpr int benchFullEdge = 256;
constexpr int benchFullSiteCount = 10000;
// The anisotropic case the spacing figures are measured with: voxels 2.5 times as deep as wide.
constexpr Spacing benchSpacing{1, 1, 2.5};

// Seeds the n-grid into voronoiBuffers[voronoiIndex] and leaves gridSize at n. A labelling consumes
// its site volume, so benchmarks call this, untimed, before every timed run.
inline void seedBenchSites(int n, std::vector<int>& staging) {
    staging.resize(size_t(n) * n * n);
    const int count = int(int64_t(benchFullSiteCount) * n * n * n / (int64_t(benchFullEdge) * benchFullEdge * benchFullEdge));
    gridSize = n / 2;  // seeding works on twice the current edge
    seedSites(staging.data(), count);
    gridSize = n;
}

CVT_END_NAMESPACE
