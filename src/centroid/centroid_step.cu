#include "../device/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

namespace {

template <class Moment>
void launchCentroidStepWith() {
    const GridShape g = gridSize;
    const MomentVolumes<Moment> m = launchRowSums<Moment>();
    // The row site map lives in scratchSites until the fill below empties it for the moved sites.
    launchTotalYZ(scratchSites, m, g);
    LAUNCH_KERNEL(kernelFill, voxelGrid(g), voxelBlock(), 0, scratchSites, EMPTY_SITE, g);
    // Over-relaxation can carry a site beyond its region's centroid, out of the box that holds the
    // density; the clamp keeps every site inside it.
    launchUpdateCentroid(currentSites, scratchSites, m, relaxation, levelBox(siteBox, levelIndex), g,
                         InsideMap{insideMaps[levelIndex], insideMoves});
}

}  // namespace

template <class Moment>
MomentVolumes<Moment> launchRowSums() {
    const GridShape g = gridSize;
    // With fixed-point sums the moment volumes hold 8-byte elements (see allocateBuffers).
    const auto volume = [](int k) { return reinterpret_cast<Moment*>(momentBuffers[k]); };
    const MomentVolumes<Moment> m{volume(0), volume(1), volume(2), volume(3)};
    launchCalcProduct(densityLevels[levelIndex], m, g);
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(g), rowBlock(), sizeof(int) * g.x, currentSites, scratchSites, g);
    launchTotalX(currentSites, m, g);
    return m;
}

template MomentVolumes<float> launchRowSums<float>();
template MomentVolumes<FixedMoment> launchRowSums<FixedMoment>();

void launchCentroidStep() {
    if (levelIndex < 0 || levelIndex >= maxPyramidLevels || densityLevels[levelIndex] == nullptr)
        throw Failure("the centroid step needs density level " + std::to_string(levelIndex) + ", which does not exist");
    if (momentSums == MomentSums::fixedPoint) launchCentroidStepWith<FixedMoment>();
    else launchCentroidStepWith<float>();
}

CVT_END_NAMESPACE
