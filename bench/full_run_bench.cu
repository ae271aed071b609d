// The program's whole default run, timed by parts: cvt-bench --full-run.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "driver/cvt_driver.h"
#include "driver/energy.h"
#include "host/buffers.h"
#include "host/density.h"
#include "host/output.h"
#include "host/site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

// Sites are the voxels that their own label names.
int countSites(const std::vector<int>& labels, int edge) {
    int sites = 0;
    for (int z = 0; z < edge; ++z)
        for (int y = 0; y < edge; ++y)
            for (int x = 0; x < edge; ++x) sites += labels[(size_t(z) * edge + y) * edge + x] == encodeSite(x, y, z);
    return sites;
}

}  // namespace

void runFullRun() {
    constexpr int edge = 256;
    allocateBuffers(edge);
    std::vector<float> density(size_t(edge) * edge * edge);
    std::vector<int> result(density.size());
    const double synthesis = secondsOf([&] { synthesizeDensity(density.data()); });
    const double relaxation = secondsOf([&] { runCvt(density.data(), 10000, result.data(), 1, 10000); });
    const int iterations = iteration;
    const float finalEnergy = evaluateEnergy();  // of the final labelling, on the full grid
    const int output = open("/dev/null", O_WRONLY);
    const double writing = secondsOf([&] { writeLabelling(result.data(), output); });
    close(output);
    releaseBuffers();
    reportSeconds("full_synthesis_s", synthesis);
    reportSeconds("full_cvt_s", relaxation);
    reportSeconds("full_output_s", writing);
    reportSeconds("full_total_s", synthesis + relaxation + writing);
    const char* prefix = benchOnGpu() ? "gpu_" : "";
    std::printf("%sfull_iterations: %d\n%sfull_sites: %d\n%sfull_energy: %.6f\n", prefix, iterations, prefix,
                countSites(result, edge), prefix, finalEnergy);
}

CVT_END_NAMESPACE
