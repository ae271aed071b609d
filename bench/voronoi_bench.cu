// One labelling of a grid with the sites of a real run: 10000 seeded sites at edge 256 and the same
// number per voxel on the coarser edges, and at edge 256 again with voxels 2.5 times as deep as wide;
// and each pass of the labelling at edge 256 alone.
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "bench_support.h"
#include "host/buffers.h"
#include "seeded_sites.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

// Each labelling consumes its site volume, so the sites are seeded again, untimed, before each run.
double labellingSeconds(int n, int repeats, const AxisWeights& weights = {}) {
    std::vector<int> staging;
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        seedBenchSites(n, staging);
        best = std::min(best, bestSeconds(1, [&] { computeVoronoi(weights); }));
    }
    return best;
}

// Each pass leaves its own source as it found it, so it can run again on the same input; the passes
// run in the order of a labelling, each on what the one before left.
void passSeconds() {
    std::vector<int> staging;
    seedBenchSites(benchFullEdge, staging);
    reportSeconds("kernel_flood_z_s", bestSeconds(3, launchFloodZ));
    voronoiIndex ^= 1;
    for (const auto& [round, frame] : {std::pair{"first", gridSize}, std::pair{"second", gridSize.exchanged()}}) {
        reportSeconds(std::string("kernel_maurer_axis_") + round + "_s", bestSeconds(3, [&] { launchMaurerAxis(frame); }));
        reportSeconds(std::string("kernel_color_axis_") + round + "_s", bestSeconds(3, [&] { launchColorAxis(frame); }));
    }
}

void benchVoronoi() {
    allocateBuffers(benchFullEdge);
    try {
        for (int n : {benchFullEdge, benchFullEdge / 2, benchFullEdge / 4})
            reportSeconds("voronoi_" + std::to_string(n) + "_s", labellingSeconds(n, n == benchFullEdge ? 3 : 5));
        reportSeconds("voronoi_256_spacing_s", labellingSeconds(benchFullEdge, 3, labellingWeights(benchSpacing)));
        passSeconds();
    } catch (...) {
        releaseBuffers();
        throw;
    }
    releaseBuffers();
}

CVT_BENCHMARK("20 voronoi", benchVoronoi);

}  // namespace
CVT_END_NAMESPACE
