// What every cvt-volume run sets up from its options before it runs: the parameters of the tessellation
// and the notes on its input.
#include "run_setup.h"

#include "formats/sites_csv.h"
#include "summary.h"

namespace cvt::volume {

TessellationParameters parametersOf(const VolumeOptions& options, const DensityInput& input) {
    TessellationParameters parameters;
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
    parameters.startLabel = options.startLabel;
    parameters.deterministic = options.deterministic;
    parameters.spacing = input.usedSpacing;
    // The density was mapped as it was read (its summary and the mask's threshold need the mapped
    // values); the mask is the run's to apply.
    parameters.maskAbove = options.maskAbove;
    parameters.maskSource = options.maskPath.value_or(parameters.maskSource);
    parameters.connected = options.connected;
    return parameters;
}

void describeInput(ProgressReporter& progress, const DensityInput& input) {
    progress.note("%s: %s %s (%s) in a %s grid", input.source.c_str(), boxText(input.box).c_str(),
                  input.type.c_str(), input.format.c_str(), shapeText(gridFor(input.box)).c_str());
    if (input.scale() != 1.0f)
        progress.note("%s: density divided by its maximum %g before the run", input.source.c_str(),
                      double(input.scale()));
    const Spacing unit{1, 1, 1};
    if (input.usedSpacing != unit || input.spacing != unit)
        progress.note("%s: spacing %s used for distances%s", input.source.c_str(),
                      describeSpacing(input.usedSpacing).c_str(),
                      input.usedSpacing == input.spacing ? "" : (" (the file's: " + describeSpacing(input.spacing) + ")").c_str());
}

void writeRunSummary(const std::string& path, const VolumeOptions& options, const DensityInput& input,
                     const TessellationRun& run, const PhaseSeconds& seconds) {
    RunSummary summary;
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
    summary.largestCentroidDistance = run.tessellation.largestCentroidDistance(input.usedSpacing);
    summary.seconds = seconds;
    writeSummary(path, summary);
}

}  // namespace cvt::volume
