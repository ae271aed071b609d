// One complete Lloyd iteration at edge 256 with the seeded sites, with float atomics and with
// fixed-point moment sums, and with voxels 2.5 times as deep as wide; and one energy evaluation.
#include <algorithm>
#include <limits>
#include <vector>

#include "bench_support.h"
#include "device/fast_path.h"
#include "centroid/centroid.h"
#include "driver/energy.h"
#include "driver/pyramid.h"
#include "driver/transition.h"
#include "host/buffers.h"
#include "host/density.h"
#include "seeded_sites.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

struct DriverSeconds {
    double iteration, energy;
};

// The best of four iterations and four energy evaluations on the seeded sites, with moment sums of
// the given kind, under `spacing`.
DriverSeconds driverSeconds(MomentSums sums, const Spacing& spacing = {1, 1, 1}) {
    const AxisWeights weights = labellingWeights(spacing);
    const AxisScales scales = energyScales(spacing);
    allocateBuffers(benchFullEdge, sums);
    std::vector<float> density(size_t(benchFullEdge) * benchFullEdge * benchFullEdge);
    synthesizeDensity(density.data());
    checkCuda(cudaMemcpy(densityLevels[0], density.data(), density.size() * sizeof(float), cudaMemcpyHostToDevice),
              "uploading the benchmark density");
    buildDensityPyramid();
    levelIndex = 0;
    relaxation = 2.0f;
    std::vector<int> staging;
    DriverSeconds best{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (int repeat = 0; repeat < 4; ++repeat) {
        seedBenchSites(benchFullEdge, staging);
        best.iteration = std::min(best.iteration, bestSeconds(1, [&] {
                                      computeVoronoi(weights);
                                      launchCentroidStep();
                                      exchangeSiteVolumes();
                                  }));
        computeVoronoi(weights);
        best.energy = std::min(best.energy, bestSeconds(1, [&] { evaluateEnergy(scales); }));
    }
    releaseBuffers();
    return best;
}

void benchDriver() {
    const DriverSeconds floatSums = driverSeconds(MomentSums::floatAtomics);
    reportSeconds("iteration_256_s", floatSums.iteration);
    reportSeconds("energy_256_s", floatSums.energy);
    reportSeconds("iteration_256_deterministic_s", driverSeconds(MomentSums::fixedPoint).iteration);
    reportSeconds("iteration_256_spacing_s", driverSeconds(MomentSums::floatAtomics, benchSpacing).iteration);
    if (!fastPathsEnabled()) return;
    // The same with every kernel simulated, so that both ways of running stay measured.
    setFastPathsEnabled(false);
    const DriverSeconds simulated = driverSeconds(MomentSums::floatAtomics);
    setFastPathsEnabled(true);
    reportSeconds("sim_iteration_256_s", simulated.iteration);
    reportSeconds("sim_energy_256_s", simulated.energy);
}

CVT_BENCHMARK("40 driver", benchDriver);

}  // namespace
CVT_END_NAMESPACE
