// cvt-volume against cvt: a default cvt-volume run writing its labels file against cvt's own run
// (density, tessellation, text to /dev/null), measured in one call; and the cost of the run summary.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "host/density.h"
#include "host/output.h"
#include "volume/summary.h"
#include "volume/volume_run.h"

CVT_BEGIN_NAMESPACE
namespace {

template <class F>
double secondsOf(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// cvt's whole life but for the text going to /dev/null; returns its last iteration.
int runCvtProgram() {
    allocateBuffers(densityEdge);
    std::vector<float> density(densityVoxels);
    std::vector<int> result(densityVoxels);
    synthesizeDensity(density.data());
    runCvt(density.data(), 10000, result.data(), 1, 10000);
    const int lastIteration = iteration;
    const int output = open("/dev/null", O_WRONLY);
    writeLabelling(result.data(), output);
    close(output);
    releaseBuffers();
    return lastIteration;
}

void benchVolumeOverhead() {
    const std::string labels = "/tmp/cvt-bench-volume-" + std::to_string(getpid()) + ".npy";
    int cvtIterations = 0;
    const double cvtSeconds = secondsOf([&] { cvtIterations = runCvtProgram(); });
    volume::VolumeOptions options;
    options.labelsPath = labels;
    options.quiet = true;
    int volumeStatus = 0;
    const double volumeSeconds = secondsOf([&] { volumeStatus = runVolume(options); });
    std::remove(labels.c_str());
    if (volumeStatus != 0) throw Failure("the cvt-volume run failed");
    const char* prefix = benchOnGpu() ? "gpu_" : "";
    std::printf("%svolume_overhead_ratio: %.4f\n", prefix, volumeSeconds / cvtSeconds);
    std::printf("%svolume_overhead_iterations: cvt %d, cvt-volume %d\n", prefix, cvtIterations, iteration);
    std::fflush(stdout);
}

void benchSummary() {
    volume::VolumeOptions options;
    volume::DensityInput input;
    input.source = "volume.npy";
    input.box = GridBox{256, 256, 256};
    input.maximum = 1.0f;
    CvtRunReport report;
    for (int d = 1; d <= 100; ++d) report.decisions.push_back({10 * d, 0, 12000.0f - float(d), 1.5f});
    volume::RunSummary summary;
    summary.options = &options;
    summary.input = &input;
    summary.report = &report;
    const std::string path = "/tmp/cvt-bench-summary-" + std::to_string(getpid()) + ".json";
    reportSeconds("summary_overhead_s", bestSeconds(5, [&] { volume::writeSummary(path, summary); }));
    std::remove(path.c_str());
}

CVT_BENCHMARK("08 summary", benchSummary);
CVT_BENCHMARK("90 volume", benchVolumeOverhead);

}  // namespace
CVT_END_NAMESPACE
