// A cvt-volume run on one backend: the user's density in the smallest cube the buffer set accepts,
// the driver's run on it, and the outputs of the box.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "density_input.h"
#include "device/device.h"
#include "device/host_memory.h"
#include "driver/cvt_driver.h"
#include "driver/energy.h"
#include "formats/atomic_file.h"
#include "formats/large_buffer.h"
#include "formats/sites_csv.h"
#include "host/buffers.h"
#include "memory_check.h"
#include "options.h"
#include "outputs.h"
#include "progress.h"
#include "summary.h"
#include "tessellation.h"
#include "volume_run.h"

CVT_BEGIN_NAMESPACE

namespace {

using Clock = std::chrono::steady_clock;
using volume::DensityInput;
using volume::VolumeOptions;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

MomentSums momentSumsOf(const VolumeOptions& options) {
    return options.deterministic ? MomentSums::fixedPoint : MomentSums::floatAtomics;
}

std::string describe(GridBox box) {
    return std::to_string(box.x) + " x " + std::to_string(box.y) + " x " + std::to_string(box.z);
}

uint64_t voxelsOf(GridBox box) { return uint64_t(box.x) * box.y * box.z; }

// The listed sites, checked: inside the box, each once.
std::vector<std::array<int, 3>> givenSites(const std::string& path, GridBox box) {
    std::vector<std::array<int, 3>> sites;
    std::map<std::array<int, 3>, size_t> rowOf;
    for (const formats::SiteRow& row : formats::readSitesCsv(path)) {
        const std::array<int, 3> site{row.x, row.y, row.z};
        const std::string where = "site (" + std::to_string(row.x) + ", " + std::to_string(row.y) + ", " +
                                  std::to_string(row.z) + ")";
        if (row.x < 0 || row.y < 0 || row.z < 0 || row.x >= box.x || row.y >= box.y || row.z >= box.z)
            throw Failure(path + ": " + where + " lies outside the " + describe(box) + " box");
        const auto [previous, added] = rowOf.emplace(site, sites.size() + 1);
        if (!added)
            throw Failure(path + ": " + where + " is listed twice, in rows " + std::to_string(previous->second) +
                          " and " + std::to_string(sites.size() + 1));
        sites.push_back(site);
    }
    if (sites.empty()) throw Failure(path + ": lists no sites");
    return sites;
}

SitePlacement placementFor(const VolumeOptions& options, const DensityInput& input) {
    SitePlacement placement;
    placement.seed = options.seed;
    if (options.sitesIn) {
        placement.kind = SitePlacement::Kind::given;
        placement.sites = givenSites(*options.sitesIn, input.box);
        return placement;
    }
    if (uint64_t(options.sites) > input.insideVoxels)
        throw Failure(input.source + ": " + std::to_string(options.sites) + " sites asked for, but the " +
                      (input.inside.empty() ? "box" : "mask") + " has only " + std::to_string(input.insideVoxels) +
                      " voxels");
    if (options.effectiveSeeding() == volume::Seeding::density) {
        placement.kind = SitePlacement::Kind::density;
        const size_t positive = size_t(std::count_if(input.values.begin(), input.values.end(), [](float v) { return v > 0; }));
        if (positive < size_t(options.sites))
            throw Failure(input.source + ": only " + std::to_string(positive) +
                          " voxels have a positive density, fewer than the " + std::to_string(options.sites) +
                          " sites asked for (ask for fewer, or use --seeding uniform)");
    }
    return placement;
}

void requireMemory(int edge, const DensityInput& input, const VolumeOptions& options) {
    const uint64_t cube = uint64_t(edge) * edge * edge * sizeof(float);
    const uint64_t box = voxelsOf(input.box) * sizeof(float);
    volume::MemoryNeeds needs;
    needs.device = bufferSetBytesFor(edge, momentSumsOf(options), options.masked());
    // The density and the result at the size of the cube; the density and the labels of the box; the
    // weights that placement by density draws from; with a mask, its flags in the cube and in the box,
    // and the flags of its coarser levels.
    needs.host = 2 * cube + 2 * box +
                 (options.effectiveSeeding() == volume::Seeding::density && !options.sitesIn ? box : 0) +
                 (options.masked() ? (cube + box) / sizeof(float) * 2 : 0);
    volume::MemoryAvailable available;
    size_t free = 0, total = 0;
    checkCuda(cudaMemGetInfo(&free, &total), "asking the device for its free memory");
    available.device = free;
    available.host = availableHostMemory().value_or(UINT64_MAX);
    available.sharedMemory = deviceMemoryIsHostMemory();
    if (const auto shortfall = volume::memoryShortfall(needs, available))
        throw Failure(*shortfall + " (a " + describe(input.box) + " box in a " + std::to_string(edge) + "^3 grid)");
}

// The cube the buffer set works on, with the box's density, divided by its maximum, at its origin and
// zero elsewhere; nothing when the box's own values are that cube already.
std::vector<float> cubeDensity(const DensityInput& input, int edge) {
    if (input.box.x == edge && input.box.y == edge && input.box.z == edge && input.scale() == 1.0f) return {};
    std::vector<float> cube;
    formats::resizeLarge(cube, size_t(edge) * edge * edge);
    const float maximum = input.scale();
    const GridBox box = input.box;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const float* row = input.values.data() + size_t(box.x) * (y + size_t(box.y) * z);
            float* target = cube.data() + size_t(edge) * (y + size_t(edge) * z);
            for (int x = 0; x < box.x; ++x) target[x] = row[x] / maximum;
        }
    return cube;
}

// The mask's flags in the cube, at the box's place; nothing without a mask.
std::vector<uint8_t> cubeInside(const DensityInput& input, int edge) {
    if (input.inside.empty()) return {};
    std::vector<uint8_t> cube;
    formats::resizeLarge(cube, size_t(edge) * edge * edge);
    std::fill(cube.begin(), cube.end(), uint8_t(0));
    const GridBox box = input.box;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            std::copy_n(input.inside.data() + size_t(box.x) * (y + size_t(box.y) * z), box.x,
                        cube.data() + size_t(edge) * (y + size_t(edge) * z));
    return cube;
}

void describeInput(volume::ProgressReporter& progress, const DensityInput& input, int edge) {
    progress.note("%s: %s %s (%s) in a %d^3 grid", input.source.c_str(), describe(input.box).c_str(),
                  input.type.c_str(), input.format.c_str(), edge);
    if (input.scale() != 1.0f)
        progress.note("%s: density divided by its maximum %g before the run", input.source.c_str(),
                      double(input.scale()));
    if (!input.inside.empty())
        progress.note("%s: %llu of %llu voxels inside the mask", input.source.c_str(),
                      static_cast<unsigned long long>(input.insideVoxels),
                      static_cast<unsigned long long>(voxelsOf(input.box)));
    const Spacing unit{1, 1, 1};
    if (input.usedSpacing != unit || input.spacing != unit)
        progress.note("%s: spacing %s used for distances%s", input.source.c_str(),
                      describeSpacing(input.usedSpacing).c_str(),
                      input.usedSpacing == input.spacing ? "" : (" (the file's: " + describeSpacing(input.spacing) + ")").c_str());
}

int runOnBuffers(const VolumeOptions& options, volume::ProgressReporter& progress) {
    const Clock::time_point started = Clock::now();
    volume::PhaseSeconds seconds;
    const DensityInput input = volume::loadDensity(options);
    (options.densityPath ? seconds.read : seconds.synthesis) = secondsSince(started);
    const SitePlacement placement = placementFor(options, input);
    for (const std::string& path : options.outputPaths()) formats::requireWritable(path);
    if (options.previewAt) {
        const auto [x, y, z] = *options.previewAt;
        if (x < 0 || y < 0 || z < 0 || x >= input.box.x || y >= input.box.y || z >= input.box.z)
            throw Failure("--preview-at " + std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(z) +
                          " lies outside the " + describe(input.box) + " box");
    }
    const int edge = smallestFullEdgeHolding(std::max({input.box.x, input.box.y, input.box.z}));
    describeInput(progress, input, edge);
    requireMemory(edge, input, options);

    allocateBuffers(edge, momentSumsOf(options), options.masked());
    std::vector<int> result;
    formats::resizeLarge(result, size_t(edge) * edge * edge);
    {
        const std::vector<float> density = cubeDensity(input, edge);
        const std::vector<uint8_t> inside = cubeInside(input, edge);
        CvtRequest request;
        request.inside = inside.empty() ? nullptr : inside.data();
        request.density = density.empty() ? input.values.data() : density.data();
        request.result = result.data();
        request.siteCount = options.sites;
        request.maxLevels = options.levels;
        request.maxIterations = options.maxIterations;
        request.box = input.box;
        request.placement = placement;
        request.spacing = input.usedSpacing;
        request.observer = &progress;
        runCvt(request);
    }
    const CvtRunReport& report = lastCvtRun();
    seconds.upload = report.setupSeconds;
    seconds.iterations = report.iterationSeconds;
    // Of the final labelling, which currentSites still holds.
    const float energy = evaluateEnergy(energyScales(input.usedSpacing));
    const int lastIteration = iteration;
    releaseBuffers();

    const Clock::time_point writing = Clock::now();
    const volume::Tessellation tessellation = volume::tabulate(result.data(), edge, input.box, input.values.data(),
                                                               input.inside.empty() ? nullptr : input.inside.data());
    progress.runEnded(report, lastIteration, tessellation.sites.size(), tessellation.splitRegions());
    volume::writeOutputs(options, input, tessellation, result.data(), edge, energy);
    seconds.output = secondsSince(writing);
    if (options.summaryPath) {
        volume::RunSummary summary;
        summary.options = &options;
        summary.input = &input;
        summary.report = &report;
        summary.placement = placement.kind;
        summary.gridEdge = edge;
        summary.backend = backendName();
        summary.device = deviceName();
        summary.lastIteration = lastIteration;
        summary.sitesAtEnd = tessellation.sites.size();
        summary.firstId = tessellation.firstId;
        summary.splitRegions = tessellation.splitRegions();
        summary.finalEnergy = energy;
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
