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

// Seeds grid g (an int: a cube) into voronoiBuffers[voronoiIndex] and leaves gridSize at g; returns the
// sites' codes. A labelling consumes its site volume, so benchmarks call this, untimed, before every
// timed run.
inline std::vector<int64_t> seedBenchSites(const GridShape& g, std::vector<int>& staging) {
    staging.resize(size_t(g.voxels()));
    const int count = int(int64_t(benchFullSiteCount) * g.voxels() / (int64_t(benchFullEdge) * benchFullEdge * benchFullEdge));
    gridSize = g.halved(1);  // seeding works on twice the current grid
    std::vector<int64_t> sites = placeSites(staging.data(), count, SitePlacement{}, boxOf(g), 0, nullptr).codes;
    gridSize = g;
    return sites;
}

CVT_END_NAMESPACE
