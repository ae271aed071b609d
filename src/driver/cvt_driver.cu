#include "cvt_driver.h"

#include <chrono>
#include <optional>
#include <string>

#include "../centroid/centroid.h"
#include "../host/buffers.h"
#include "../host/seeding.h"
#include "../host/site_code.h"
#include "../voronoi/voronoi.h"
#include "energy.h"
#include "exact_steps.h"
#include "pyramid.h"
#include "relaxation_rule.h"
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

// The density that placement by density draws from: that of the coarsest level used.
std::vector<float> coarsestDensity(const CvtRequest& request, int level) {
    if (request.placement.kind != SitePlacement::Kind::density || level == 0) return {};
    std::vector<float> density(size_t(gridSize.halved(level).voxels()));
    checkCuda(cudaMemcpy(density.data(), densityLevels[level], density.size() * sizeof(float), cudaMemcpyDeviceToHost),
              "reading back a density level for seeding");
    return density;
}

// The mask on each level used, finest first: the request's own flags, then coarse levels on which a
// voxel is inside when any of its eight finer ones is. Empty without a mask.
class InsideLevels {
public:
    InsideLevels(const CvtRequest& request, int levelCount) {
        if (request.inside == nullptr) return;
        levels_.push_back(request.inside);
        coarse_.reserve(size_t(levelCount));  // the pointers into it stay valid
        for (int level = 1; level < levelCount; ++level) {
            const GridShape g = gridSize.halved(level), fine = g.doubled();
            const uint8_t* finer = levels_.back();
            std::vector<uint8_t>& coarse = coarse_.emplace_back(size_t(g.voxels()), uint8_t(0));
            for (int z = 0; z < fine.z; ++z)
                for (int y = 0; y < fine.y; ++y)
                    for (int x = 0; x < fine.x; ++x)
                        coarse[size_t(g.index(x / 2, y / 2, z / 2))] |= finer[size_t(fine.index(x, y, z))];
            levels_.push_back(coarse.data());
        }
    }
    bool empty() const { return levels_.empty(); }
    size_t size() const { return levels_.size(); }
    const uint8_t* operator[](size_t level) const { return levels_[level]; }

private:
    std::vector<const uint8_t*> levels_;
    std::vector<std::vector<uint8_t>> coarse_;
};

// Fills insideMaps[level] for each level: the labelling of a site volume that holds every inside voxel,
// so that each voxel names its nearest inside voxel. Uses the ping-pong pair, before seeding fills it.
template <class Code>
void buildInsideMaps(const InsideLevels& levels, Code* staging) {
    const GridShape full = gridSize;
    for (size_t level = 0; level < levels.size(); ++level) {
        gridSize = full.halved(int(level));
        const GridShape g = gridSize;
        for (int z = 0; z < g.z; ++z)
            for (int y = 0; y < g.y; ++y)
                for (int x = 0; x < g.x; ++x) {
                    const size_t voxel = size_t(g.index(x, y, z));
                    staging[voxel] = levels[level][voxel] ? g.codes.encode<Code>(x, y, z) : emptySite<Code>;
                }
        const size_t bytes = size_t(g.voxels()) * sizeof(Code);
        checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], staging, bytes, cudaMemcpyHostToDevice),
                  "uploading the mask");
        computeVoronoi();
        checkCuda(cudaMemcpy(insideMaps[level], currentSites, bytes, cudaMemcpyDeviceToDevice),
                  "storing the mask's inside map");
    }
    gridSize = full;
    voronoiIndex = 0;
    checkCuda(cudaMemset(insideMoves, 0, sizeof(unsigned)), "clearing the count of moves into the mask");
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
    BufferSteps(const AxisWeights& weights, const AxisScales& scales) : weights_(weights), scales_(scales) {}
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
    const GridBox box = checkedBox(request, gridSize);
    const AxisWeights weights = labellingWeights(request.spacing, gridSize.longestSide());
    const AxisScales scales = energyScales(request.spacing);
    // Without iterations the sites are only labelled, on the full grid.
    const int levelCount = request.maxIterations == 0 ? 1 : usableLevelCount(gridSize, request.maxLevels);
    report.levelCount = levelCount;

    uploadDensityPlanes(request.density, box, request.densityDivisor, 0);
    siteBox = box;
    voronoiIndex = 0;
    buildDensityPyramid();
    const int coarsest = levelCount - 1;
    const std::vector<float> coarseDensity = coarsestDensity(request, coarsest);
    const InsideLevels inside(request, levelCount);
    if (!inside.empty()) {
        if (insideMaps[coarsest] == nullptr) throw Failure("a run with a mask needs a buffer set allocated for one");
        withCodeType(gridSize.codes.wide,
                     [&](auto code) { buildInsideMaps(inside, static_cast<decltype(code)*>(request.result)); });
    }
    const GridShape full = gridSize;
    gridSize = full.halved(levelCount);  // seeding works on twice this grid: the coarsest level used
    SiteList sites = placeSites(
        request.result, request.siteCount, request.placement, levelBox(box, coarsest), coarsest,
        coarseDensity.empty() ? SeedingDensity(request.density, box, request.densityDivisor)
                              : SeedingDensity(coarseDensity.data()),
        inside.empty() ? nullptr : inside[coarsest]);
    report.sitesPlaced = int(sites.size());
    levelIndex = coarsest;
    float previousEnergy = startIterating();
    // Exact sums keep the sites in a list; float sums, the program's own, keep them in the site volumes.
    std::optional<ExactSteps> exact;
    std::optional<BufferSteps> buffered;
    if (request.connected && momentSums != MomentSums::exact)
        throw Failure("connected regions need exact sums, which keep the sites in a list");
    if (momentSums == MomentSums::exact)
        exact.emplace(std::move(sites), box, weights, scales, SlabShare{},
                      RegionConnection{request.connected, request.idsFollowPlacement});
    else buffered.emplace(weights, scales);
    IterationSteps& steps = exact ? static_cast<IterationSteps&>(*exact) : *buffered;
    report.setupSeconds = secondsSince(started);

    const Clock::time_point iterating = Clock::now();
    if (request.maxIterations == 0) {
        gridSize = full;
        levelIndex = 0;
        report.stop = CvtStop::noIterations;
    }
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

    steps.label();
    const cudaError_t copy = cudaMemcpy(request.result, currentSites, siteVolumeBytes, cudaMemcpyDeviceToHost);
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
