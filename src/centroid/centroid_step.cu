#include "../host/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

void launchCentroidStep() {
    if (levelIndex < 0 || levelIndex >= maxPyramidLevels || densityLevels[levelIndex] == nullptr)
        throw Failure("the centroid step needs density level " + std::to_string(levelIndex) + ", which does not exist");
    if (momentSums != MomentSums::floatAtomics) throw Failure("the centroid step needs the moment volumes of float sums");
    const GridShape g = gridSize;
    const MomentVolumes<float> m{momentBuffers[0], momentBuffers[1], momentBuffers[2], momentBuffers[3]};
    launchCalcProduct(densityLevels[levelIndex], m, g);
    LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(g), rowBlock(), sizeof(int) * g.x, currentSites, scratchSites, g);
    launchTotalX(currentSites, m, g);
    // The row site map lives in scratchSites until the fill below empties it for the moved sites.
    launchTotalYZ(scratchSites, m, g);
    LAUNCH_KERNEL(kernelFill<SiteCode>, voxelGrid(g), voxelBlock(), 0, scratchSites, EMPTY_SITE, g);
    // Over-relaxation can carry a site beyond its region's centroid, out of the box that holds the
    // density; the clamp keeps every site inside it.
    launchUpdateCentroid(currentSites, scratchSites, m, relaxation, levelBox(siteBox, levelIndex), g,
                         InsideMap{insideMaps[levelIndex], insideMoves});
}

CVT_END_NAMESPACE
