// The region sums of every site from one slab of the grid, in a table by site: what each rank of a run
// split into slabs contributes, before the ranks add their tables up. The row sums (kernelTotalX)
// and the row site map (kernel2DVoronoi) are built within rows, so a slab computes them as the whole
// grid does; a site's total is the sum over the row anchors that name it.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

// Voxel kernel on voxelGrid(g): every row anchor of planes [firstPlane, firstPlane + planes) of g (a
// voxel whose row site map names a site) adds its four moments into sums[4 s .. 4 s + 3] (x, y, z,
// mass), s the position of its site among the `siteCount` increasing codes of `sites`. A code not among
// them adds nothing.
template <class Moment>
__global__ void kernelSiteSums(const int* rowSiteMap, const Moment* xMoment, const Moment* yMoment,
                               const Moment* zMoment, const Moment* mass, const int* sites, int siteCount,
                               Moment* sums, int firstPlane, int planes, GridShape g);

template <class Moment>
void launchSiteSums(const int* rowSiteMap, MomentVolumes<Moment> moments, const int* sites, int siteCount,
                    Moment* sums, int firstPlane, int planes, GridShape g);

CVT_END_NAMESPACE
