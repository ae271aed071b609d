#include "cvt_driver.h"

#include <chrono>
#include <string>

#include "../centroid/centroid.h"
#include "../host/buffers.h"
#include "../host/seeding.h"
#include "../host/site_code.h"
#include "../voronoi/voronoi.h"
#include "energy.h"
#include "pyramid.h"
#include "relaxation_rule.h"
#include "transition.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int decisionInterval = 10;
constexpr float initialRelaxation = 2.0f;
constexpr float initialPreviousEnergy = 1e18f;

using Clock = std::chrono::steady_clock;

CvtRunReport report;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

GridBox checkedBox(const CvtRequest& request, int fullEdge) {
    const GridBox box = request.box.x == 0 && request.box.y == 0 && request.box.z == 0 ? cubeBox(fullEdge) : request.box;
    if (box.x < 1 || box.y < 1 || box.z < 1 || box.x > fullEdge || box.y > fullEdge || box.z > fullEdge)
        throw Failure("the box " + std::to_string(box.x) + " x " + std::to_string(box.y) + " x " +
                      std::to_string(box.z) + " does not fit the grid of edge " + std::to_string(fullEdge));
    return box;
}

// The density that placement by density draws from: that of the coarsest level used.
std::vector<float> coarsestDensity(const CvtRequest& request, int level) {
    if (request.placement.kind != SitePlacement::Kind::density || level == 0) return {};
    const int edge = gridSize >> level;
    std::vector<float> density(size_t(edge) * edge * edge);
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
        const size_t fullEdge = size_t(gridSize);
        for (int level = 1; level < levelCount; ++level) {
            const size_t edge = fullEdge >> level, fine = 2 * edge;
            const uint8_t* finer = levels_.back();
            std::vector<uint8_t>& coarse = coarse_.emplace_back(edge * edge * edge, uint8_t(0));
            for (size_t z = 0; z < fine; ++z)
                for (size_t y = 0; y < fine; ++y)
                    for (size_t x = 0; x < fine; ++x)
                        coarse[x / 2 + edge * (y / 2 + edge * (z / 2))] |= finer[x + fine * (y + fine * z)];
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
void buildInsideMaps(const InsideLevels& levels, int* staging) {
    const int fullEdge = gridSize;
    for (size_t level = 0; level < levels.size(); ++level) {
        gridSize = fullEdge >> level;
        const int n = gridSize;
        for (int z = 0; z < n; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x) {
                    const size_t voxel = x + size_t(n) * (y + size_t(n) * z);
                    staging[voxel] = levels[level][voxel] ? encodeSite(x, y, z) : EMPTY_SITE;
                }
        const size_t bytes = size_t(n) * n * n * sizeof(int);
        checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], staging, bytes, cudaMemcpyHostToDevice),
                  "uploading the mask");
        computeVoronoi();
        checkCuda(cudaMemcpy(insideMaps[level], currentSites, bytes, cudaMemcpyDeviceToDevice),
                  "storing the mask's inside map");
    }
    gridSize = fullEdge;
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

// Iterates on the current level until it converges or the budget is spent. Returns whether the level
// converged.
bool iterateLevel(const CvtRequest& request, const AxisWeights& weights, const AxisScales& scales,
                  float& previousEnergy) {
    bool levelEnds = false;
    do {
        ++iteration;
        computeVoronoi(weights);
        const bool decides = iteration % decisionInterval == 0;
        // The energy belongs to the sites before this iteration's move.
        const float energy = decides ? evaluateEnergy(scales) : 0.0f;
        launchCentroidStep();
        exchangeSiteVolumes();  // the moved sites become the next labelling's input
        if (decides) {
            const RelaxationDecision decision = decideRelaxation(previousEnergy, energy, levelIndex);
            relaxation = decision.relaxation;
            levelEnds = decision.levelEnds;
            previousEnergy = decision.previousEnergy;
            report.decisions.push_back(CvtDecision{iteration, levelIndex, energy, relaxation});
            if (request.observer != nullptr) request.observer->decisionTaken(report.decisions.back());
        }
        if (request.observer != nullptr) request.observer->iterationDone(iteration, levelIndex);
    } while (!levelEnds && iteration < request.maxIterations);
    return levelEnds;
}

}  // namespace

const CvtRunReport& lastCvtRun() { return report; }

cudaError_t runCvt(const CvtRequest& request) {
    if (request.maxLevels < 1) throw Failure("runCvt needs at least one level, not " + std::to_string(request.maxLevels));
    if (request.maxIterations < 0)
        throw Failure("runCvt needs a budget of 0 or more iterations, not " + std::to_string(request.maxIterations));
    const Clock::time_point started = Clock::now();
    report = CvtRunReport{};
    const GridBox box = checkedBox(request, gridSize);
    const AxisWeights weights = labellingWeights(request.spacing);
    const AxisScales scales = energyScales(request.spacing);
    // Without iterations the sites are only labelled, on the full grid.
    const int levelCount = request.maxIterations == 0 ? 1 : usableLevelCount(gridSize, request.maxLevels);
    report.levelCount = levelCount;

    const int cells = gridSize * gridSize * gridSize;
    checkCuda(cudaMemcpy(densityLevels[0], request.density, static_cast<uint64_t>(cells) * 4, cudaMemcpyHostToDevice),
              "uploading the density");
    siteBox = box;
    voronoiIndex = 0;
    buildDensityPyramid();
    const int coarsest = levelCount - 1;
    const std::vector<float> coarseDensity = coarsestDensity(request, coarsest);
    const InsideLevels inside(request, levelCount);
    if (!inside.empty()) {
        if (insideMaps[coarsest] == nullptr) throw Failure("a run with a mask needs a buffer set allocated for one");
        buildInsideMaps(inside, request.result);
    }
    gridSize >>= levelCount;  // seeding works on twice this edge: the coarsest level used
    report.sitesPlaced = placeSites(request.result, request.siteCount, request.placement, levelBox(box, coarsest),
                                    coarsest, coarseDensity.empty() ? request.density : coarseDensity.data(),
                                    inside.empty() ? nullptr : inside[coarsest]);
    levelIndex = coarsest;
    relaxation = initialRelaxation;
    iteration = 0;
    float previousEnergy = initialPreviousEnergy;
    report.setupSeconds = secondsSince(started);

    const Clock::time_point iterating = Clock::now();
    if (request.maxIterations == 0) {
        gridSize <<= 1;
        levelIndex = 0;
        report.stop = CvtStop::noIterations;
    }
    while (levelIndex >= 0 && request.maxIterations > 0) {
        gridSize <<= 1;
        const bool converged = iterateLevel(request, weights, scales, previousEnergy);
        report.levelEndIterations.push_back(iteration);
        if (levelIndex == 0) report.stop = converged ? CvtStop::converged : CvtStop::iterationBudget;
        if (levelIndex > 0) advanceLevel();
        --levelIndex;
    }
    levelIndex = 0;  // the final labelling belongs to the full grid

    computeVoronoi(weights);
    const cudaError_t copy = cudaMemcpy(request.result, currentSites, volumeBytes, cudaMemcpyDeviceToHost);
    checkCuda(copy, "copying the labelling back");
    report.insideMoves = readInsideMoves();
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
