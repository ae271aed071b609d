#include "cvt_driver.h"

#include <string>

#include "../centroid/centroid.h"
#include "../host/buffers.h"
#include "../host/seeding.h"
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

CvtRunReport report;

// Number of levels to use: at most maxLevels, and only levels whose edge is at least minPyramidEdge.
int chooseLevelCount(int fullEdge, int maxLevels) {
    for (int level = 0; level < maxLevels; ++level)
        if ((fullEdge >> level) < minPyramidEdge) return level;
    return maxLevels;
}

}  // namespace

const CvtRunReport& lastCvtRun() { return report; }

cudaError_t runCvt(const float* hostDensity, int siteCount, int* hostResult, int maxLevels, int maxIterations) {
    if (maxLevels < 1) throw Failure("runCvt needs at least one level, not " + std::to_string(maxLevels));
    report = CvtRunReport{};
    const int levelCount = chooseLevelCount(gridSize, maxLevels);
    report.levelCount = levelCount;

    const int cells = gridSize * gridSize * gridSize;
    checkCuda(cudaMemcpy(densityLevels[0], hostDensity, static_cast<uint64_t>(cells) * 4, cudaMemcpyHostToDevice),
              "uploading the density");
    voronoiIndex = 0;
    buildDensityPyramid();
    gridSize >>= levelCount;  // seeding works on twice this edge: the coarsest level used
    seedSites(hostResult, siteCount);
    levelIndex = levelCount - 1;
    relaxation = initialRelaxation;
    iteration = 0;
    float previousEnergy = initialPreviousEnergy;

    do {
        gridSize <<= 1;
        bool levelEnds = false;
        do {
            ++iteration;
            computeVoronoi();
            const bool decides = iteration % decisionInterval == 0;
            // The energy belongs to the sites before this iteration's move.
            const float energy = decides ? evaluateEnergy() : 0.0f;
            launchCentroidStep();
            exchangeSiteVolumes();  // the moved sites become the next labelling's input
            if (decides) {
                const RelaxationDecision decision = decideRelaxation(previousEnergy, energy, levelIndex);
                relaxation = decision.relaxation;
                levelEnds = decision.levelEnds;
                previousEnergy = decision.previousEnergy;
                report.energies.push_back(energy);
                report.relaxations.push_back(relaxation);
            }
        } while (!levelEnds && iteration < maxIterations);
        report.levelEndIterations.push_back(iteration);
        if (levelIndex > 0) advanceLevel();
        --levelIndex;
    } while (levelIndex >= 0);
    levelIndex = 0;  // the final labelling belongs to the full grid

    computeVoronoi();
    const cudaError_t copy = cudaMemcpy(hostResult, currentSites, volumeBytes, cudaMemcpyDeviceToHost);
    checkCuda(copy, "copying the labelling back");
    return copy;
}

CVT_END_NAMESPACE
