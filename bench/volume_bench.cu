// cvt-volume against cvt: a default cvt-volume run writing its labels file, and the same with float
// atomics, against cvt's own run (density, tessellation, text to /dev/null), measured in one call
// (each the best of three runs); and the cost of the run summary.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bench_support.h"
#include "host/buffers.h"
#include "host/program.h"
#include "volume/summary.h"
#include "volume/volume_run.h"

CVT_BEGIN_NAMESPACE
namespace {

// cvt's whole life, its text going to /dev/null; returns its last iteration.
int runCvtProgram() {
    const int output = open("/dev/null", O_WRONLY);
    const int status = runProgram(output);
    close(output);
    if (status != 0) throw Failure("the cvt run failed");
    return iteration;
}

// Whole runs vary here by several per cent from one to the next, and the machine's speed drifts:
// the three kinds of run take turns, and each figure is the best of its three runs.
constexpr int runRepeats = 3;

void benchVolumeOverhead() {
    const std::string labels = "/tmp/cvt-bench-volume-" + std::to_string(getpid()) + ".npy";
    int cvtIterations = 0;
    int volumeIterations[2] = {0, 0};
    double cvtSeconds = std::numeric_limits<double>::infinity();
    double volumeSeconds[2] = {cvtSeconds, cvtSeconds};  // the default (fixed-point) run, float atomics
    for (int repeat = 0; repeat < runRepeats; ++repeat) {
        cvtSeconds = std::min(cvtSeconds, secondsOf([&] { cvtIterations = runCvtProgram(); }));
        for (int kind = 0; kind < 2; ++kind) {
            volume::VolumeOptions options;
            options.labelsPath = labels;
            options.quiet = true;
            options.deterministic = kind == 0;
            volumeSeconds[kind] = std::min(volumeSeconds[kind], secondsOf([&] {
                                               if (runVolume(options) != 0) throw Failure("the cvt-volume run failed");
                                           }));
            volumeIterations[kind] = iteration;
            std::remove(labels.c_str());
        }
    }
    const char* prefix = benchOnGpu() ? "gpu_" : "";
    for (int kind = 0; kind < 2; ++kind) {
        const char* suffix = kind == 0 ? "" : "_fast_atomics";
        std::printf("%svolume_overhead_ratio%s: %.4f\n", prefix, suffix, volumeSeconds[kind] / cvtSeconds);
        std::printf("%svolume_overhead_iterations%s: cvt %d, cvt-volume %d\n", prefix, suffix, cvtIterations,
                    volumeIterations[kind]);
    }
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
