// The centroid step at N = 256 on the buffer set: each of its six kernels alone, then the whole step,
// with float atomics; and the exact region sums that replace it in cvt-volume.
// The labelling is that of 22 x 22 x 21 = 10164 lattice sites, whose regions are boxes: as many sites
// as a run has, built on the host without a search over all sites.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "../tests/lattice_labelling.h"
#include "bench_support.h"
#include "centroid/centroid.h"
#include "centroid/region_sums.h"
#include "device/device_array.h"
#include "host/launch_shapes.h"
#include "driver/fill.h"
#include "host/buffers.h"

CVT_BEGIN_NAMESPACE
namespace {

constexpr int edge = 256;

// A Gaussian bump over a small floor, like the density of a run.
std::vector<float> benchDensity() {
    std::vector<float> density(size_t(edge) * edge * edge);
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) {
                const double u = (x - 128) / 512.0, v = (y - 128) / 512.0, w = (z - 128) / 512.0;
                density[(size_t(z) * edge + y) * edge + x] = float(0.01 + std::exp(-20.0 * (u * u + v * v + w * w)));
            }
    return density;
}

template <class T>
void upload(T* device, const std::vector<T>& values) {
    checkCuda(cudaMemcpy(device, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice),
              "uploading a benchmark volume");
}

// Each kernel of the step and the whole step with moment sums of type Moment; the keys of the
// fixed-point sums end in "_deterministic".
template <class Moment>
void benchCentroidStepWith(MomentSums sums, const std::string& suffix) {
    allocateBuffers(edge, sums);
    voronoiIndex = 0;
    currentSites = voronoiBuffers[0];
    scratchSites = voronoiBuffers[1];
    levelIndex = 0;
    relaxation = 2.0f;
    upload(densityLevels[0], benchDensity());
    upload(currentSites, latticeLabelling(evenLattice(edge, {22, 22, 21}), edge));

    // Repeats of the gathers keep adding into the moment volumes; the work per run is the same.
    const int n = edge;
    const auto volume = [](int k) { return reinterpret_cast<Moment*>(momentBuffers[k]); };
    const MomentVolumes<Moment> m{volume(0), volume(1), volume(2), volume(3)};
    reportSeconds("kernel_calc_product" + suffix + "_s",
                  bestSeconds(3, [&] { launchCalcProduct(densityLevels[0], m, n); }));
    reportSeconds("kernel_2d_voronoi" + suffix + "_s", bestSeconds(3, [&] {
                      LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(n), rowBlock(), sizeof(int) * n, currentSites,
                                    scratchSites, n);
                  }));
    reportSeconds("kernel_total_x" + suffix + "_s", bestSeconds(3, [&] { launchTotalX(currentSites, m, n); }));
    reportSeconds("kernel_total_yz" + suffix + "_s", bestSeconds(3, [&] { launchTotalYZ(scratchSites, m, n); }));
    reportSeconds("kernel_fill" + suffix + "_s", bestSeconds(3, [&] {
                      LAUNCH_KERNEL(kernelFill<SiteCode>, voxelGrid(n), voxelBlock(), 0, scratchSites, EMPTY_SITE, n);
                  }));
    reportSeconds("kernel_update_centroid" + suffix + "_s", bestSeconds(3, [&] {
                      launchUpdateCentroid(currentSites, scratchSites, m, relaxation, cubeBox(n), n);
                  }));
    // The step leaves the labelling in currentSites, so it can run again on the same input.
    reportSeconds("centroid_step_256" + suffix + "_s", bestSeconds(3, [] { launchCentroidStep(); }));
    releaseBuffers();
}

// The exact sums of every region of the lattice labelling into a table by site.
void benchRegionSums() {
    allocateBuffers(edge, MomentSums::exact);
    upload(densityLevels[0], benchDensity());
    const std::vector<int> labelling = latticeLabelling(evenLattice(edge, {22, 22, 21}), edge);
    upload(voronoiBuffers[0], labelling);
    std::vector<int> sites = labelling;
    std::sort(sites.begin(), sites.end());
    sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
    const DeviceArray<int> codes(sites);
    DeviceArray<SiteSums> sums(sites.size());
    reportSeconds("kernel_region_sums_s", bestSeconds(3, [&] {
                      checkCuda(cudaMemset(sums.get(), 0, sums.bytes()), "clearing the per-site sums");
                      launchRegionSums(voronoiBuffers[0], densityLevels[0], codes.get(), int(sites.size()), sums.get(),
                                       0, edge, edge);
                  }));
    releaseBuffers();
}

void benchCentroidStep() {
    benchCentroidStepWith<float>(MomentSums::floatAtomics, "");
    benchRegionSums();
}

CVT_BENCHMARK("40 centroid", benchCentroidStep);

}  // namespace
CVT_END_NAMESPACE
