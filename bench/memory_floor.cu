#include "memory_floor.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench_support.h"
#include "device/device_array.h"
#include "device/fast_path.h"
#include "host/site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

// One labelling pass's traffic: every integer of `source` read, one of `destination` written. The
// addition keeps the loop a loop (a plain copy would become a call of memcpy).
void streamPass(const int* source, int* destination, const GridShape& g) {
    const size_t plane = size_t(g.x) * g.y;
    hostParallelFor(g.z, [&](int64_t z) {
        const int* in = source + plane * z;
        int* out = destination + plane * z;
        for (size_t i = 0; i < plane; ++i) out[i] = in[i] + 1;
    });
}

// The centroid step's traffic: the labelling and the density read, a site volume written.
void streamCentroidStep(const int* labels, const float* density, int* sites, const GridShape& g) {
    const size_t plane = size_t(g.x) * g.y;
    hostParallelFor(g.z, [&](int64_t z) {
        const size_t first = plane * z;
        for (size_t i = first; i < first + plane; ++i) sites[i] = density[i] > 0.0f ? labels[i] : EMPTY_SITE;
    });
}

}  // namespace

double iterationFloorSeconds(const GridShape& g, int repeats) {
    if (benchOnGpu()) return -1.0;
    const size_t voxels = size_t(g.voxels());
    // Filled before timing, so that no page is touched for the first time while it runs.
    DeviceArray<int> first(std::vector<int>(voxels, 1)), second(std::vector<int>(voxels, 2));
    DeviceArray<float> density(std::vector<float>(voxels, 0.5f));
    return bestSeconds(repeats, [&] {
        // The passes alternate between two volumes, as the labelling's do.
        streamPass(first.get(), second.get(), g);
        streamPass(second.get(), first.get(), g);
        streamPass(first.get(), second.get(), g);
        streamPass(second.get(), first.get(), g);
        streamPass(first.get(), second.get(), g);
        streamCentroidStep(second.get(), density.get(), first.get(), g);
    });
}

CVT_END_NAMESPACE
