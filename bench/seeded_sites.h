// The sites of a real run at edge n: the program's own seeding, scaled to keep 10000 sites per 256^3.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "device/device_array.h"
#include "host/axis_spacing.h"
#include "host/buffers.h"
#include "host/device_codes.h"
#include "host/seeding.h"
#include "voronoi/slab_sites.h"

CVT_BEGIN_NAMESPACE

constexpr int benchFullEdge = 256;
constexpr int benchFullSiteCount = 10000;
// The anisotropic case the spacing figures are measured with: voxels 2.5 times as deep as wide.
constexpr Spacing benchSpacing{1, 1, 2.5};

// Seeds grid g (an int: a cube) into voronoiBuffers[voronoiIndex] and leaves gridSize at g; returns the
// sites' codes. A labelling consumes its site volume, so benchmarks call this, untimed, before every
// timed run.
inline std::vector<int64_t> seedBenchSites(const GridShape& g) {
    const int count = int(int64_t(benchFullSiteCount) * g.voxels() / (int64_t(benchFullEdge) * benchFullEdge * benchFullEdge));
    std::vector<int64_t> sites;
    for (const std::array<int, 3>& v : drawUniformVoxels(count, boxOf(g), 0)) sites.push_back(g.codes.encode(v[0], v[1], v[2]));
    gridSize = g;
    DeviceCodes voxels(sites.size(), g.codes.wide, "the sites' voxels"), codes(sites.size(), g.codes.wide, "the sites' codes");
    uploadSlabSites(slabSiteEntries(sites, g, 0, g.z), voxels, codes);
    return sites;
}

CVT_END_NAMESPACE
