// A cvt-volume run on one backend: the user's density read, the tessellation of it, and the outputs
// and reports of the run.
#include <chrono>
#include <cstdio>
#include <string>

#include "density_input.h"
#include "device/device.h"
#include "formats/atomic_file.h"
#include "formats/sites_csv.h"
#include "host/buffers.h"
#include "options.h"
#include "outputs.h"
#include "progress.h"
#include "run_setup.h"
#include "slab_volume_run.h"
#include "summary.h"
#include "tessellation/tessellate.h"
#include "volume_run.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;
using volume::DensityInput;
using volume::VolumeOptions;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// --dry-run's answer on standard output, one "key: value" per line: the grid and the bytes of memory
// the run would take, besides the input as read.
int printNeeds(const DensityInput& input, const volume::TessellationParameters& parameters) {
    const volume::MemoryNeeds needs = tessellationMemory(input.box, parameters);
    const GridShape grid = volume::gridFor(input.box);
    std::printf("box: %d %d %d\ngrid: %d %d %d\ndevice_bytes: %llu\nhost_bytes: %llu\nshared_memory: %s\n",
                input.box.x, input.box.y, input.box.z, grid.x, grid.y, grid.z,
                static_cast<unsigned long long>(needs.device), static_cast<unsigned long long>(needs.host),
                deviceMemoryIsHostMemory() ? "yes" : "no");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int runOnBuffers(const VolumeOptions& options, volume::ProgressReporter& progress) {
    const Clock::time_point started = Clock::now();
    volume::PhaseSeconds seconds;
    const DensityInput input = volume::loadDensity(options);
    (options.densityPath ? seconds.read : seconds.synthesis) = secondsSince(started);
    volume::TessellationParameters parameters = volume::parametersOf(options, input);
    const std::optional<formats::VolumeFile> mask = volume::maskFile(options);
    if (mask) parameters.mask = formats::contiguousView(mask->samples.data(), mask->type, mask->shape);
    for (const std::string& path : options.outputPaths()) formats::requireWritable(path);
    if (options.previewAt) {
        const auto [x, y, z] = *options.previewAt;
        if (x < 0 || y < 0 || z < 0 || x >= input.box.x || y >= input.box.y || z >= input.box.z)
            throw Failure("--preview-at " + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z) +
                          " lies outside the " + volume::boxText(input.box) + " box");
    }
    volume::describeInput(progress, input);

    if (options.dryRun) return printNeeds(input, parameters);

    volume::DensityView density;
    density.samples = formats::contiguousView(input.values.data(), formats::SampleType::float32,
                                              formats::shapeOf(input.box));
    density.source = input.source;
    const volume::TessellationRun run = tessellate(density, parameters, &progress);
    if (options.masked())
        progress.note("%s: %llu of %llu voxels inside the mask; %llu site moves sent inside it", input.source.c_str(),
                      static_cast<unsigned long long>(run.insideVoxels),
                      static_cast<unsigned long long>(uint64_t(input.box.x) * input.box.y * input.box.z),
                      static_cast<unsigned long long>(run.report.insideMoves));
    seconds.upload = run.report.setupSeconds;
    seconds.iterations = run.report.iterationSeconds;

    const Clock::time_point writing = Clock::now();
    progress.runEnded(run.report, run.lastIteration, run.tessellation.sites.size(), run.tessellation.splitRegions());
    volume::writeOutputs(options, input, run);
    seconds.output = secondsSince(writing);
    if (options.summaryPath) volume::writeRunSummary(*options.summaryPath, options, input, run, seconds);
    return 0;
}

}  // namespace

int runVolume(const VolumeOptions& options, RankGroup* ranks) {
    if (ranks != nullptr) return runVolumeOnSlabs(options, *ranks);
    volume::ProgressReporter progress(stderr, volume::ProgressReporter::isTerminal(stderr), options.quiet);
    return runReportingFailure(
        "cvt-volume", [&] { return runOnBuffers(options, progress); }, releaseBuffers);
}

CVT_END_NAMESPACE
