// One labelling of a grid with sites at the density of a real run: 10000 sites at edge 256 and the
// same sites per voxel on the coarser edges.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "host/buffers.h"
#include "host/site_code.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int fullEdge = 256;
constexpr int fullSiteCount = 10000;

// `count` distinct random sites from a fixed seed, so every run labels the same volume.
std::vector<int> benchSiteVolume(int n, int count) {
    std::vector<int> volume(size_t(n) * n * n, EMPTY_SITE);
    std::mt19937 random(20240531u);
    std::uniform_int_distribution<int> coordinate(0, n - 1);
    for (int placed = 0; placed < count;) {
        const int x = coordinate(random), y = coordinate(random), z = coordinate(random);
        int& voxel = volume[(size_t(z) * n + y) * n + x];
        if (voxel != EMPTY_SITE) continue;
        voxel = encodeSite(x, y, z);
        ++placed;
    }
    return volume;
}

// Each labelling consumes its site volume, so the volume is uploaded again, untimed, before each run.
double labellingSeconds(int n, int repeats) {
    gridSize = n;
    const std::vector<int> sites = benchSiteVolume(n, int(int64_t(fullSiteCount) * n * n * n / (fullEdge * fullEdge * fullEdge)));
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], sites.data(), sites.size() * sizeof(int),
                             cudaMemcpyHostToDevice),
                  "uploading the benchmark sites");
        best = std::min(best, bestSeconds(1, [] { computeVoronoi(); }));
    }
    return best;
}

void benchVoronoi() {
    allocateBuffers(fullEdge);
    try {
        for (int n : {fullEdge, fullEdge / 2, fullEdge / 4})
            reportSeconds("voronoi_" + std::to_string(n) + "_s", labellingSeconds(n, n == fullEdge ? 3 : 5));
    } catch (...) {
        releaseBuffers();
        throw;
    }
    releaseBuffers();
}

CVT_BENCHMARK("20 voronoi", benchVoronoi);

}  // namespace
CVT_END_NAMESPACE
