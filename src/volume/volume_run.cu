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
#include "summary.h"
#include "tessellate.h"
#include "volume_run.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;
using volume::DensityInput;
using volume::VolumeOptions;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

volume::TessellationParameters parametersOf(const VolumeOptions& options, const DensityInput& input) {
    volume::TessellationParameters parameters;
    parameters.sites = options.sites;
    parameters.seeding = options.effectiveSeeding();
    parameters.seed = options.seed;
    if (options.sitesIn) {
        parameters.initialSites.emplace();
        for (const formats::SiteRow& row : formats::readSitesCsv(*options.sitesIn))
            parameters.initialSites->push_back({row.x, row.y, row.z});
        parameters.initialSitesSource = *options.sitesIn;
    }
    parameters.maxIterations = options.maxIterations;
    parameters.levels = options.levels;
    parameters.deterministic = options.deterministic;
    parameters.spacing = input.usedSpacing;
    // The density was mapped as it was read (its summary and the mask's threshold need the mapped
    // values); the mask is the run's to apply.
    parameters.maskAbove = options.maskAbove;
    parameters.maskSource = options.maskPath.value_or(parameters.maskSource);
    return parameters;
}

// The mask file, by its own extension; nothing without --mask. The run checks it against the density.
std::optional<formats::VolumeFile> maskFile(const VolumeOptions& options) {
    if (!options.maskPath) return std::nullopt;
    formats::ReadOptions read = options.read;
    read.format.reset();
    read.maxSide = maxGridSide;
    return formats::readVolume(*options.maskPath, read);
}

void describeInput(volume::ProgressReporter& progress, const DensityInput& input) {
    progress.note("%s: %s %s (%s) in a %s grid", input.source.c_str(), volume::boxText(input.box).c_str(),
                  input.type.c_str(), input.format.c_str(), shapeText(volume::gridFor(input.box)).c_str());
    if (input.scale() != 1.0f)
        progress.note("%s: density divided by its maximum %g before the run", input.source.c_str(),
                      double(input.scale()));
    const Spacing unit{1, 1, 1};
    if (input.usedSpacing != unit || input.spacing != unit)
        progress.note("%s: spacing %s used for distances%s", input.source.c_str(),
                      describeSpacing(input.usedSpacing).c_str(),
                      input.usedSpacing == input.spacing ? "" : (" (the file's: " + describeSpacing(input.spacing) + ")").c_str());
}

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
    volume::TessellationParameters parameters = parametersOf(options, input);
    const std::optional<formats::VolumeFile> mask = maskFile(options);
    if (mask) parameters.mask = formats::contiguousView(mask->samples.data(), mask->type, mask->shape);
    for (const std::string& path : options.outputPaths()) formats::requireWritable(path);
    if (options.previewAt) {
        const auto [x, y, z] = *options.previewAt;
        if (x < 0 || y < 0 || z < 0 || x >= input.box.x || y >= input.box.y || z >= input.box.z)
            throw Failure("--preview-at " + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z) +
                          " lies outside the " + volume::boxText(input.box) + " box");
    }
    describeInput(progress, input);

    if (options.dryRun) return printNeeds(input, parameters);

    volume::DensityView density;
    density.samples = formats::contiguousView(input.values.data(), formats::SampleType::float32,
                                              formats::VolumeShape{input.box.x, input.box.y, input.box.z});
    density.source = input.source;
    const volume::TessellationRun run = tessellate(density, parameters, &progress);
    if (run.tessellation.firstId == 1)
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
    if (options.summaryPath) {
        volume::RunSummary summary;
        summary.options = &options;
        summary.input = &input;
        summary.report = &run.report;
        summary.placement = run.placement;
        summary.grid = run.grid;
        summary.backend = run.backend;
        summary.device = run.device;
        summary.lastIteration = run.lastIteration;
        summary.sitesAtEnd = run.tessellation.sites.size();
        summary.firstId = run.tessellation.firstId;
        summary.splitRegions = run.tessellation.splitRegions();
        summary.insideVoxels = run.insideVoxels;
        summary.finalEnergy = run.energy;
        summary.seconds = seconds;
        volume::writeSummary(*options.summaryPath, summary);
    }
    return 0;
}

}  // namespace

int runVolume(const VolumeOptions& options) {
    volume::ProgressReporter progress(stderr, volume::ProgressReporter::isTerminal(stderr), options.quiet);
    return runReportingFailure(
        "cvt-volume", [&] { return runOnBuffers(options, progress); }, releaseBuffers);
}

CVT_END_NAMESPACE
