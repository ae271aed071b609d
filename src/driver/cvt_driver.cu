#include "cvt_driver.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "../centroid/centroid.h"
#include "../device/device_array.h"
#include "../host/buffers.h"
#include "../host/device_codes.h"
#include "../host/site_code.h"
#include "../host/slab.h"
#include "../voronoi/slab_sites.h"
#include "../voronoi/voronoi.h"
#include "energy.h"
#include "exact_steps.h"
#include "inside_maps.h"
#include "pyramid.h"
#include "rank_group.h"
#include "relaxation_rule.h"
#include "run_sites.h"
#include "transition.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int decisionInterval = 10;
constexpr float initialRelaxation = 2.0f;
constexpr float initialPreviousEnergy = 1e18f;
// How many plain steps in a row may leave the lowest energy seen unbeaten before the finish gives up:
// a step that only breaks a tie of rounding keeps the energy, and the next one may still reach a
// fixed point.
constexpr int stallPatience = 3;

using Clock = std::chrono::steady_clock;

CvtRunReport report;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

GridBox checkedBox(const CvtRequest& request, const GridShape& full) {
    const GridBox box = request.box.x == 0 && request.box.y == 0 && request.box.z == 0 ? boxOf(full) : request.box;
    if (box.x < 1 || box.y < 1 || box.z < 1 || box.x > full.x || box.y > full.y || box.z > full.z)
        throw Failure("the box " + std::to_string(box.x) + " x " + std::to_string(box.y) + " x " +
                      std::to_string(box.z) + " does not fit grid " + shapeText(full));
    return box;
}

// The weights that placement by density draws from, of this process's planes of the coarsest level:
// the density as given on the full grid, else as the pyramid made it.
std::vector<float> seedingWeights(const CvtRequest& request, int level, GridBox box, Slab slab, const GridShape& full) {
    if (request.placement.kind != SitePlacement::Kind::density) return {};
    const GridBox b = levelBox(box, level);
    const Slab planes = slab.halved(level);
    std::vector<float> weights(size_t(b.x) * size_t(b.y) * size_t(planes.planes()));
    if (level == 0) {
        for (size_t v = 0; v < weights.size(); ++v) weights[v] = request.density[v] / request.densityDivisor;
        return weights;
    }
    const GridShape g = full.halved(level);
    const int first = slabFirstPlane(g, planes);
    std::vector<float> plane(size_t(g.x) * size_t(g.y));
    for (int k = 0; k < planes.planes(); ++k) {
        checkCuda(cudaMemcpy(plane.data(), densityLevels[level] + size_t(g.index(0, 0, first + k)),
                             plane.size() * sizeof(float), cudaMemcpyDeviceToHost),
                  "reading back a density level for seeding");
        for (int y = 0; y < b.y; ++y)
            std::copy_n(plane.data() + size_t(g.x) * y, b.x, weights.data() + size_t(b.x) * (y + size_t(b.y) * k));
    }
    return weights;
}

unsigned readInsideMoves() {
    unsigned moves = 0;
    if (insideMoves != nullptr)
        checkCuda(cudaMemcpy(&moves, insideMoves, sizeof moves, cudaMemcpyDeviceToHost),
                  "reading the count of moves into the mask");
    return moves;
}

// The steps of an iteration with float sums, the program's own: the labelling, the energy and the
// centroid step on the buffer set, the sites held in the site volumes alone.
class BufferSteps : public IterationSteps {
public:
    // Stores the sites in the current site volume, on gridSize.
    BufferSteps(const SiteList& sites, const AxisWeights& weights, const AxisScales& scales)
        : weights_(weights), scales_(scales) {
        DeviceCodes voxels(sites.size(), gridSize.codes.wide, "the sites' voxels"),
            codes(sites.size(), gridSize.codes.wide, "the sites' codes");
        uploadSlabSites(slabSiteEntries(sites.codes, gridSize, 0, gridSize.z), voxels, codes);
    }
    void label() override { computeVoronoi(weights_); }
    float energy() override { return evaluateEnergy(scales_); }
    int64_t moveSites() override {
        launchCentroidStep();
        exchangeSiteVolumes();  // the moved sites become the next labelling's input
        return -1;
    }
    void advanceLevel() override { cvt::advanceLevel(); }

private:
    AxisWeights weights_;
    AxisScales scales_;
};

}  // namespace

const CvtRunReport& lastCvtRun() { return report; }

void uploadDensityPlanes(const float* density, GridBox sides, float divisor, int firstPlane) {
    const GridShape g = gridSize;
    const size_t planeVoxels = size_t(g.x) * g.y;
    if (sides.x == g.x && sides.y == g.y && sides.z == g.z && firstPlane == 0 && divisor == 1.0f) {
        checkCuda(cudaMemcpy(densityLevels[0], density, planeVoxels * g.z * sizeof(float), cudaMemcpyHostToDevice),
                  "uploading the density");
        return;
    }
    std::vector<float> plane(planeVoxels, 0.0f);
    for (int z = 0; z < g.z; ++z) {
        const int source = z - firstPlane;
        const bool inside = source >= 0 && source < sides.z;
        if (!inside) std::fill(plane.begin(), plane.end(), 0.0f);
        for (int y = 0; inside && y < sides.y; ++y) {
            const float* row = density + size_t(sides.x) * (y + size_t(sides.y) * source);
            float* target = plane.data() + size_t(g.x) * y;
            for (int x = 0; x < sides.x; ++x) target[x] = row[x] / divisor;
        }
        checkCuda(cudaMemcpy(densityLevels[0] + planeVoxels * z, plane.data(), planeVoxels * sizeof(float),
                             cudaMemcpyHostToDevice),
                  "uploading the density");
    }
}

float startIterating() {
    relaxation = initialRelaxation;
    iteration = 0;
    return initialPreviousEnergy;
}

bool iterateLevel(IterationSteps& steps, int maxIterations, CvtObserver* observer, float& previousEnergy,
                  CvtRunReport& runReport) {
    bool levelEnds = false;
    do {
        ++iteration;
        steps.label();
        const bool decides = iteration % decisionInterval == 0;
        // The energy belongs to the sites before this iteration's move.
        const float energy = decides ? steps.energy() : 0.0f;
        const int64_t moved = steps.moveSites();
        if (decides) {
            const RelaxationDecision decision = decideRelaxation(previousEnergy, energy, levelIndex);
            relaxation = decision.relaxation;
            levelEnds = decision.levelEnds;
            previousEnergy = decision.previousEnergy;
            runReport.decisions.push_back(CvtDecision{iteration, levelIndex, energy, relaxation, moved});
            if (observer != nullptr) observer->decisionTaken(runReport.decisions.back());
        }
        // Sites that all stayed where they were would be labelled and moved alike until the relaxation
        // changes: the level has settled.
        if (moved == 0) levelEnds = true;
        if (observer != nullptr) observer->iterationDone(iteration, levelIndex);
    } while (!levelEnds && iteration < maxIterations);
    return levelEnds;
}

CvtStop finishWithPlainSteps(FinishingSteps& steps, int maxIterations, CvtObserver* observer, CvtRunReport& report) {
    relaxation = 1.0f;
    SiteList bestSites;
    UInt128 bestEnergy = 0;
    int sinceBest = 0;
    while (iteration < maxIterations) {
        ++iteration;
        ++report.plainSteps;
        steps.label();
        const UInt128 energy = steps.exactEnergy();
        if (bestSites.size() == 0 || energy < bestEnergy) {
            bestEnergy = energy;
            bestSites = steps.sites();
            sinceBest = 0;
        } else {
            ++sinceBest;
        }
        const float shown = steps.energy();
        const int64_t moved = steps.moveSites();
        report.decisions.push_back(CvtDecision{iteration, levelIndex, shown, relaxation, moved});
        if (observer != nullptr) {
            observer->decisionTaken(report.decisions.back());
            observer->iterationDone(iteration, levelIndex);
        }
        if (moved == 0) return CvtStop::converged;
        if (sinceBest >= stallPatience) {
            steps.setSites(std::move(bestSites));
            return CvtStop::stalled;
        }
    }
    return CvtStop::iterationBudget;
}

cudaError_t runCvt(const CvtRequest& request) {
    if (request.maxLevels < 1) throw Failure("runCvt needs at least one level, not " + std::to_string(request.maxLevels));
    if (request.maxIterations < 0)
        throw Failure("runCvt needs a budget of 0 or more iterations, not " + std::to_string(request.maxIterations));
    const Clock::time_point started = Clock::now();
    report = CvtRunReport{};
    LoneRank alone;
    RankGroup& ranks = request.ranks != nullptr ? *request.ranks : alone;
    const GridShape full = gridSize, whole = full.whole();
    const GridBox box = checkedBox(request, whole);
    const Slab slab = request.slab.planes() > 0 ? request.slab : Slab{0, box.z};
    const AxisWeights weights = labellingWeights(request.spacing, whole.longestSide());
    const AxisScales scales = energyScales(request.spacing);
    // Without iterations the sites are only labelled, on the full grid.
    const int levelCount = request.maxIterations == 0 ? 1 : usableLevelCount(whole, request.maxLevels);
    if (!(full == slabGrid(whole, slab, box.z, levelCount)))
        throw Failure("grid " + shapeText(full) + " is not the grid of planes " + std::to_string(slab.begin) + " to " +
                      std::to_string(slab.end - 1) + " on " + std::to_string(levelCount) + " levels");
    report.levelCount = levelCount;

    uploadDensityPlanes(request.density, GridBox{box.x, box.y, slab.planes()}, request.densityDivisor,
                        slabFirstPlane(full, slab));
    siteBox = box;
    voronoiIndex = 0;
    buildDensityPyramid();
    const int coarsest = levelCount - 1;
    const InsideLevels inside(request.inside, box, slab, levelCount);
    if (!inside.empty()) {
        if (insideMaps[coarsest] == nullptr) throw Failure("a run with a mask needs a buffer set allocated for one");
        buildInsideMaps(inside, full, box, slab, weights, ranks);
    }
    SiteList sites = [&] {  // the weights go as soon as the sites are placed
        const std::vector<float> seeding = seedingWeights(request, coarsest, box, slab, full);
        return placeRunSites(request.siteCount, request.placement, levelBox(box, coarsest), coarsest, full.codes,
                             SeedingPlanes{slab.halved(coarsest), seeding.data(), inside.empty() ? nullptr : &inside},
                             ranks);
    }();
    report.sitesPlaced = int(sites.size());
    levelIndex = coarsest;
    gridSize = full.halved(coarsest);
    float previousEnergy = startIterating();
    // Exact sums keep the sites in a list; float sums, the program's own, keep them in the site volumes.
    std::optional<ExactSteps> exact;
    std::optional<BufferSteps> buffered;
    if (request.connected && momentSums != MomentSums::exact)
        throw Failure("connected regions need exact sums, which keep the sites in a list");
    if (momentSums == MomentSums::exact)
        exact.emplace(std::move(sites), box, weights, scales, SlabShare{request.ranks, slab},
                      RegionConnection{request.connected, request.idsFollowPlacement});
    else if (!(full == whole))
        throw Failure("float sums run in one process only");
    else
        buffered.emplace(sites, weights, scales);
    IterationSteps& steps = exact ? static_cast<IterationSteps&>(*exact) : *buffered;
    report.setupSeconds = secondsSince(started);

    const Clock::time_point iterating = Clock::now();
    if (request.maxIterations == 0) report.stop = CvtStop::noIterations;
    while (levelIndex >= 0 && request.maxIterations > 0) {
        gridSize = full.halved(levelIndex);
        const bool settled = iterateLevel(steps, request.maxIterations, request.observer, previousEnergy, report);
        report.levelEndIterations.push_back(iteration);
        if (levelIndex == 0) {
            if (!settled) report.stop = CvtStop::iterationBudget;
            else if (exact) report.stop = finishWithPlainSteps(*exact, request.maxIterations, request.observer, report);
            else report.stop = CvtStop::energyCriterion;
        }
        if (levelIndex > 0) steps.advanceLevel();
        --levelIndex;
    }
    levelIndex = 0;  // the final labelling belongs to the full grid
    gridSize = full;

    steps.label();
    const cudaError_t copy = request.result != nullptr ? copyLabelling(request.result, full, slab) : cudaSuccess;
    checkCuda(copy, "copying the labelling back");
    if (exact) {
        report.finalEnergy = exact->energy();
        report.finalSites = exact->sites();
        report.insideMoves = exact->insideMoves();
        report.connected = request.connected;
        report.connectedMoves = exact->lastConnection().movedVoxels;
        report.apartPieces = exact->lastConnection().apartPieces;
    } else {
        report.insideMoves = readInsideMoves();
    }
    report.iterationSeconds = secondsSince(iterating);
    return copy;
}

cudaError_t copyLabelling(void* result, const GridShape& full, Slab slab) {
    const size_t planeBytes = size_t(full.x) * size_t(full.y) * size_t(full.codes.codeBytes());
    return cudaMemcpy(result, reinterpret_cast<const char*>(currentSites) + planeBytes * size_t(slabFirstPlane(full, slab)),
                      planeBytes * size_t(slab.planes()), cudaMemcpyDeviceToHost);
}

cudaError_t runCvt(const float* hostDensity, int siteCount, int* hostResult, int maxLevels, int maxIterations) {
    CvtRequest request;
    request.density = hostDensity;
    request.result = hostResult;
    request.siteCount = siteCount;
    request.maxLevels = maxLevels;
    request.maxIterations = maxIterations;
    return runCvt(request);
}

CVT_END_NAMESPACE
