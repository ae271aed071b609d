// The centroid step of a Lloyd iteration: per-voxel density moments, their summation over every
// site's region into the site's own voxel, and the move of every site towards its region's centroid.
//
// The four moment volumes double as the accumulators of the region sums, and a site's own voxel is
// the address of its totals, so the step needs no per-site storage. The sums are gathered in two
// separable stages: along each row into the voxel whose x is the site's x (the row anchor), then from
// each row anchor into the site voxel. They are exact region sums when, in every row, no two sites
// that label voxels there share an x, and every such site also labels its own row anchor. Where a
// row breaks either condition the sums are merged or misattributed as the kernels' comments say;
// this is accepted, not corrected.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "moment_sums.h"

CVT_BEGIN_NAMESPACE

// The moment kernels exist for both accumulators of moment_sums.h: Moment is float or FixedMoment.
// Each is launched through the function below it, which lives beside the kernel: a kernel template
// is launched only from the file that instantiates it.

// The four moment volumes: x-moment, y-moment, z-moment and mass.
template <class Moment>
struct MomentVolumes {
    Moment* x;
    Moment* y;
    Moment* z;
    Moment* mass;
};

// Every kernel works on grid g (the current level): voxel kernels on voxelGrid(g) x voxelBlock(), row
// kernels on rowGrid(g) x rowBlock().

// Voxel kernel: writes x*rho, rho*y, rho*z and rho of every voxel into the four moment volumes.
template <class Moment>
__global__ void kernelCalcProduct(const float* density, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                                  Moment* mass, GridShape g);
template <class Moment>
void launchCalcProduct(const float* density, MomentVolumes<Moment> moments, GridShape g);

// Row kernel: for every row and x, the code of a site with that x which labels a voxel of the row,
// or EMPTY_SITE. 4 * g.x bytes of dynamic shared memory.
__global__ void kernel2DVoronoi(const int* labelling, int* rowSiteMap, GridShape g);

// Row kernel: adds every voxel's moments to the row anchor of its site.
template <class Moment>
__global__ void kernelTotalX(const int* labelling, Moment* xMoment, Moment* yMoment, Moment* zMoment, Moment* mass,
                             GridShape g);
template <class Moment>
void launchTotalX(const int* labelling, MomentVolumes<Moment> moments, GridShape g);

// Voxel kernel: adds every row anchor's sums to the site voxel that the row site map names there.
template <class Moment>
__global__ void kernelTotalYZ(const int* rowSiteMap, Moment* xMoment, Moment* yMoment, Moment* zMoment, Moment* mass,
                              GridShape g);
template <class Moment>
void launchTotalYZ(const int* rowSiteMap, MomentVolumes<Moment> moments, GridShape g);

// Where moved sites may land with a mask: `nearestInside` is the labelling of the grid whose sites
// are the voxels inside the mask, so that each voxel names the inside voxel nearest to it (itself when
// inside, ties as in every labelling); `moves` counts the sites sent there. Null: no mask.
struct InsideMap {
    const int* nearestInside = nullptr;
    unsigned* moves = nullptr;
};

// Voxel kernel: moves every site of the labelling to p + omega * (centroid - p), rounded and clamped
// into the box [0, limitX) x [0, limitY) x [0, limitZ) of the grid, then, with a mask, onto the inside
// voxel nearest to that voxel, and writes it into newSites, which must be EMPTY_SITE throughout.
template <class Moment>
__global__ void kernelUpdateCentroid(const int* labelling, int* newSites, const Moment* xMoment,
                                     const Moment* yMoment, const Moment* zMoment, const Moment* mass,
                                     const int* nearestInside, unsigned* insideMoves, float omega, int limitX,
                                     int limitY, int limitZ, GridShape g);
template <class Moment>
void launchUpdateCentroid(const int* labelling, int* newSites, MomentVolumes<Moment> moments, float omega,
                          GridBox limit, GridShape g, InsideMap inside = {});

// Launches the whole step on the buffer set of float sums: currentSites holds the labelling of gridSize
// and densityLevels[levelIndex] its density; afterwards scratchSites holds the moved sites, inside
// siteBox as it covers this level (the caller then exchanges the pair). The moment volumes and the old
// scratchSites are overwritten.
void launchCentroidStep();

CVT_END_NAMESPACE
