// The energy evaluation's kernels at N = 256, each alone, and the density pyramid built from the full
// level (its kernel runs once per run). The labelling is that of 22 x 22 x 21 = 10164 lattice sites.
#include <vector>

#include "../tests/lattice_labelling.h"
#include "bench_support.h"
#include "host/launch_shapes.h"
#include "driver/energy.h"
#include "driver/pyramid.h"
#include "host/buffers.h"
#include "host/density.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 256;

template <class T>
void upload(T* device, const std::vector<T>& values) {
    checkCuda(cudaMemcpy(device, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice),
              "uploading a benchmark volume");
}

void benchEnergyKernels() {
    allocateBuffers(edge);
    const int count = edge * edge * edge;
    std::vector<float> density(count);
    synthesizeDensity(density.data());
    upload(densityLevels[0], density);
    upload(voronoiBuffers[0], latticeLabelling(evenLattice(edge, {22, 22, 21}), edge));
    reportSeconds("density_pyramid_256_s", bestSeconds(2, [] { buildDensityPyramid(); }));
    reportSeconds("energy_value_256_s", bestSeconds(2, [] {
                      LAUNCH_KERNEL(kernelEnergyValue, voxelGrid(edge), voxelBlock(), 0, voronoiBuffers[0],
                                    densityLevels[0], energyBuffer, edge, AxisScales{});
                  }));
    // The first pass of an evaluation: the later ones sum 32768 and 64 values.
    float* partials = reinterpret_cast<float*>(voronoiBuffers[1]);
    reportSeconds("energy_reduce_first_pass_256_s",
                  bestSeconds(2, [&] { launchReduce(energyBuffer, partials, count, reduceBlocks(count)); }));
    releaseBuffers();
}

CVT_BENCHMARK("45 energy", benchEnergyKernels);

}  // namespace
CVT_END_NAMESPACE
