// One labelling of a grid with the sites of a real run: 10000 seeded sites at edge 256 and the same
// number per voxel on the coarser edges, and at edge 256 again with voxels 2.5 times as deep as wide;
// and each pass of the labelling at edge 256 alone.
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "bench_support.h"
#include "device/device_array.h"
#include "host/buffers.h"
#include "seeded_sites.h"
#include "voronoi/connected_regions.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

// Each labelling consumes its site volume, so the sites are seeded again, untimed, before each run.
double labellingSeconds(int n, int repeats, const AxisWeights& weights = {}) {
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        seedBenchSites(n);
        best = std::min(best, bestSeconds(1, [&] { computeVoronoi(weights); }));
    }
    return best;
}

// Each pass leaves its own source as it found it, so it can run again on the same input; the passes
// run in the order of a labelling, each on what the one before left.
void passSeconds() {
    seedBenchSites(benchFullEdge);
    reportSeconds("kernel_flood_z_s", bestSeconds(3, launchFloodZ));
    voronoiIndex ^= 1;
    for (const auto& [round, frame] : {std::pair{"first", gridSize}, std::pair{"second", gridSize.exchanged()}}) {
        reportSeconds(std::string("kernel_maurer_axis_") + round + "_s", bestSeconds(3, [&] { launchMaurerAxis(frame); }));
        reportSeconds(std::string("kernel_color_axis_") + round + "_s", bestSeconds(3, [&] { launchColorAxis(frame); }));
    }
}

// The connectivity pass on the labelling of the seeded sites at edge 256, each run on the labelling as
// the labelling pass left it (restored, untimed, from a copy), with the other site volume as scratch.
void connectedSeconds() {
    seedBenchSites(benchFullEdge);
    computeVoronoi();
    const GridShape g = gridSize;
    std::vector<int> labels(size_t(g.voxels()));
    checkCuda(cudaMemcpy(labels.data(), currentSites, siteVolumeBytes, cudaMemcpyDeviceToHost), "reading the labelling");
    std::vector<int> codes;  // by increasing code: x outermost
    for (int x = 0; x < g.x; ++x)
        for (int y = 0; y < g.y; ++y)
            for (int z = 0; z < g.z; ++z)
                if (labels[size_t(g.index(x, y, z))] == g.codes.encode(x, y, z))
                    codes.push_back(g.codes.encode(x, y, z));
    std::vector<int> ids(codes.size());
    for (size_t id = 0; id < ids.size(); ++id) ids[id] = int(id);
    const DeviceArray<int> deviceCodes(codes), deviceIds(ids);
    const DeviceSiteTable<int> sites{deviceCodes.get(), deviceIds.get(), int(codes.size())};
    double best = std::numeric_limits<double>::infinity();
    for (int repeat = 0; repeat < 3; ++repeat) {
        checkCuda(cudaMemcpy(currentSites, labels.data(), siteVolumeBytes, cudaMemcpyHostToDevice),
                  "restoring the labelling");
        best = std::min(best, bestSeconds(1, [&] {
                            makeRegionsConnected(currentSites, scratchSites, g, boxOf(g), nullptr, sites);
                        }));
    }
    reportSeconds("connected_256_s", best);
}

void benchVoronoi() {
    allocateBuffers(benchFullEdge);
    try {
        for (int n : {benchFullEdge, benchFullEdge / 2, benchFullEdge / 4})
            reportSeconds("voronoi_" + std::to_string(n) + "_s", labellingSeconds(n, n == benchFullEdge ? 3 : 5));
        reportSeconds("voronoi_256_spacing_s", labellingSeconds(benchFullEdge, 3, labellingWeights(benchSpacing)));
        passSeconds();
        connectedSeconds();
    } catch (...) {
        releaseBuffers();
        throw;
    }
    releaseBuffers();
}

CVT_BENCHMARK("20 voronoi", benchVoronoi);

}  // namespace
CVT_END_NAMESPACE
