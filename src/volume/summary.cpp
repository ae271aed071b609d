#include "summary.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "cvt_version.h"
#include "formats/atomic_file.h"

namespace cvt::volume {
namespace {

using json = nlohmann::ordered_json;

json optional(const std::optional<std::string>& value) { return value ? json(*value) : json(nullptr); }

json parameters(const RunSummary& s) {
    const VolumeOptions& o = *s.options;
    return {{"sites", s.placement == SitePlacement::Kind::given ? json(nullptr) : json(o.sites)},
            {"max_iterations", o.maxIterations},
            {"levels", o.levels},
            {"seed", o.seed},
            {"seeding", placementName(s.placement)},
            {"sites_in", optional(o.sitesIn)},
            {"accumulation", o.deterministic ? "exact" : "float"},
            {"connected", o.connected}};
}

json input(const DensityInput& in) {
    return {{"file", in.source},
            {"format", in.format},
            {"type", in.type},
            {"shape", {in.box.x, in.box.y, in.box.z}},
            {"fortran_order", in.fortranOrder},
            {"spacing", in.spacing},
            {"spacing_used", in.usedSpacing},
            {"scale_applied", 1.0 / double(in.scale())},  // every value was multiplied by it
            {"density", {{"min", in.minimum}, {"max", in.maximum}, {"sum", in.sum}}}};
}

// How values became densities, and which voxels the run covered.
json mapping(const VolumeOptions& o) {
    json result = {{"kind", o.mapping.window ? "window" : o.mapping.clipBelow ? "clip_below" : "none"}};
    if (o.mapping.window) result["window"] = *o.mapping.window;
    if (o.mapping.clipBelow) result["clip_below"] = *o.mapping.clipBelow;
    return result;
}

json mask(const RunSummary& s) {
    const VolumeOptions& o = *s.options;
    if (!o.masked()) return nullptr;
    return {{"file", o.maskPath ? json(*o.maskPath) : json(nullptr)},
            {"above", o.maskAbove ? json(*o.maskAbove) : json(nullptr)},
            {"voxels_inside", s.insideVoxels},
            {"moves_into_mask", s.report->insideMoves}};
}

json history(const CvtRunReport& report) {
    json decisions = json::array();
    for (const CvtDecision& d : report.decisions) {
        json decision = {
            {"iteration", d.iteration}, {"level", d.levelIndex}, {"energy", d.energy}, {"relaxation", d.relaxation}};
        if (d.sitesMoved >= 0) decision["sites_moved"] = d.sitesMoved;
        decisions.push_back(decision);
    }
    return decisions;
}

}  // namespace

const char* placementName(SitePlacement::Kind kind) {
    switch (kind) {
    case SitePlacement::Kind::uniform: return "uniform";
    case SitePlacement::Kind::density: return "density";
    case SitePlacement::Kind::given: return "given";
    }
    return "unknown";
}

std::string summaryText(const RunSummary& s) {
    const VolumeOptions& o = *s.options;
    const CvtRunReport& report = *s.report;
    const PhaseSeconds& t = s.seconds;
    const json summary = {{"program", "cvt-volume"},
            {"version", CVT_VERSION},
            {"parameters", parameters(s)},
            {"input", input(*s.input)},
            {"mapping", mapping(o)},
            {"mask", mask(s)},
            {"grid",
             {{"edge", s.grid.longestSide()},
              {"shape", {s.grid.x, s.grid.y, s.grid.z}},
              {"levels_used", report.levelCount}}},
            {"backend", {{"name", s.backend}, {"device", s.device}}},
            {"history", history(report)},
            {"stop", {{"reason", stopName(report.stop)}, {"iteration", s.lastIteration}, {"plain_steps", report.plainSteps}}},
            {"sites", {{"start", report.sitesPlaced}, {"end", s.sitesAtEnd}, {"first_id", s.firstId}}},
            {"regions_in_pieces", s.splitRegions},
            {"connected",
             report.connected ? json{{"voxels_moved", report.connectedMoves}, {"pieces_apart", report.apartPieces}}
                              : json(nullptr)},
            {"final_energy", s.finalEnergy},
            {"final_energy_physical", physicalEnergy(s.finalEnergy, s.input->usedSpacing, s.grid.longestSide())},
            {"largest_centroid_distance", s.largestCentroidDistance},
            {"seconds",
             {{"read", t.read},
              {"synthesis", t.synthesis},
              {"upload", t.upload},
              {"iterations", t.iterations},
              {"output", t.output}}},
            {"outputs",
             {{"labels", optional(o.labelsPath)},
              {"sites", optional(o.sitesOutPath)},
              {"text", optional(o.textPath)},
              {"preview", optional(o.previewPath)}}}};
    return summary.dump(2) + "\n";
}

void writeSummary(const std::string& path, const RunSummary& summary) {
    formats::AtomicFile file(path);
    file.write(summaryText(summary));
    file.commit();
}

}  // namespace cvt::volume
