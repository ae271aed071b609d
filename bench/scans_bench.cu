// What scans cost beyond a plain run at 256^3: the pieces of the regions of a real labelling, and a run
// of the built-in density inside a ball against the same run without the mask (both with a fixed
// iteration count, so that the figures compare the same work).
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "bench_support.h"
#include "host/density.h"
#include "seeded_sites.h"
#include "voronoi/voronoi.h"
#include "tessellation/adjacency.h"
#include "tessellation/pieces.h"
#include "tessellation/tessellate.h"
#include "tessellation/tessellation.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 256;

void benchPieces() {
    allocateBuffers(edge);
    seedBenchSites(edge);
    std::vector<int> labelling(size_t(gridSize.voxels()));
    computeVoronoi();
    checkCuda(cudaMemcpy(labelling.data(), currentSites, siteVolumeBytes, cudaMemcpyDeviceToHost), "reading the labelling");
    releaseBuffers();
    std::vector<float> density(labelling.size(), 1.0f);
    const volume::Tessellation t = volume::tabulate(labelling.data(), edge, cubeBox(edge), density.data());
    reportSeconds("pieces_256_s", bestSeconds(3, [&] {
                      volume::countPieces(t.labels.data(), t.box, t.sites.size(), false);
                  }));
    reportSeconds("adjacency_256_s", bestSeconds(3, [&] { volume::labelAdjacency(t.labels, t.box, {1, 1, 1}); }));
}

void benchMaskedRun() {
    std::vector<float> density(densityVoxels);
    synthesizeDensity(density.data());
    std::vector<uint8_t> ball(densityVoxels);
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                const double r2 = std::pow(x - 127.5, 2) + std::pow(y - 127.5, 2) + std::pow(z - 127.5, 2);
                ball[(size_t(z) * edge + y) * edge + x] = r2 < 110.0 * 110.0;
            }
    volume::DensityView view;
    const formats::VolumeShape shape{edge, edge, edge};
    view.samples = formats::contiguousView(density.data(), formats::SampleType::float32, shape);
    volume::TessellationParameters parameters;
    parameters.seeding = volume::Seeding::uniform;
    parameters.maxIterations = 30;
    // Seconds per iteration, should one run converge earlier than the other.
    double seconds[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    int iterations[2] = {0, 0};
    // Plain and masked runs take turns, each figure the best of two, as the machine's speed drifts.
    for (int repeat = 0; repeat < 2; ++repeat)
        for (int masked = 0; masked < 2; ++masked) {
            if (masked) parameters.mask = formats::contiguousView(ball.data(), formats::SampleType::uint8, shape);
            else parameters.mask.reset();
            volume::TessellationRun run;
            const double wall = secondsOf([&] { run = tessellate(view, parameters); });
            iterations[masked] = run.lastIteration;
            seconds[masked] = std::min(seconds[masked], wall / run.lastIteration);
        }
    const char* prefix = benchOnGpu() ? "gpu_" : "";
    std::printf("%smask_run_overhead_ratio: %.4f\n", prefix, seconds[1] / seconds[0]);
    std::printf("%smask_run_iterations: plain %d, masked %d\n", prefix, iterations[0], iterations[1]);
    std::fflush(stdout);
}

CVT_BENCHMARK("07 scans", benchPieces);
CVT_BENCHMARK("91 scans", benchMaskedRun);

}  // namespace
CVT_END_NAMESPACE
