#include "../device/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

namespace {

template <class Moment>
void launchCentroidStepWith() {
    const int n = gridSize;
    // With fixed-point sums the moment volumes hold 8-byte elements (see allocateBuffers).
    const auto volume = [](int k) { return reinterpret_cast<Moment*>(momentBuffers[k]); };
    const MomentVolumes<Moment> m{volume(0), volume(1), volume(2), volume(3)};
    launchCalcProduct(densityLevels[levelIndex], m, n);
    // The row site map lives in scratchSites until the fill below empties it for the moved sites.
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(n), rowBlock(), sizeof(int) * n, currentSites, scratchSites, n);
    launchTotalX(currentSites, m, n);
    launchTotalYZ(scratchSites, m, n);
    LAUNCH_KERNEL(kernelFill, voxelGrid(n), voxelBlock(), 0, scratchSites, EMPTY_SITE, n);
    // Over-relaxation can carry a site beyond its region's centroid, out of the box that holds the
    // density; the clamp keeps every site inside it.
    launchUpdateCentroid(currentSites, scratchSites, m, relaxation, levelBox(siteBox, levelIndex), n,
                         InsideMap{insideMaps[levelIndex], insideMoves});
}

}  // namespace

void launchCentroidStep() {
    if (levelIndex < 0 || levelIndex >= maxPyramidLevels || densityLevels[levelIndex] == nullptr)
        throw Failure("the centroid step needs density level " + std::to_string(levelIndex) + ", which does not exist");
    if (momentSums == MomentSums::fixedPoint) launchCentroidStepWith<FixedMoment>();
    else launchCentroidStepWith<float>();
}

CVT_END_NAMESPACE
