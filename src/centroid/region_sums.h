// Exact region sums: every voxel's density moments added straight into a table with one row per site,
// in integers, so that every order of the additions (on a GPU, on any number of host threads, on any
// number of ranks that add their tables up) gives the same bits.
//
// A voxel weighs w = its density (at most 1) times 2^32, rounded; its moments are taken about its
// site: w, w dx, w dy, w dz and w dx^2, w dy^2, w dz^2, with d the voxel's offset from the site in voxels
// (z in the whole grid's planes). Offsets from the site keep every product small, and the sums are
// 128-bit, so no grid the program accepts can make them wrap: a side of at most 2^14 voxels and at most
// 2^42 voxels give a squared-offset sum below 2^32 * 2^28 * 2^42 = 2^102. The first moments give each
// region's centroid relative to its site exactly; the second moments give the energy.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "../host/site_code.h"
#include "region_moments.h"

CVT_BEGIN_NAMESPACE

// Voxel kernel on voxelGrid(g): every voxel of planes [firstPlane, firstPlane + planes) of g adds its
// moments about its label's site into sums[s], s the position of that site among the `siteCount`
// increasing codes of `sites` (a label that is not among them adds nothing). The thread of the first
// voxel of a run of one label along a row adds the whole run. `sums` must be zero beforehand. Codes of
// type Code, that of g's layout (site_code.h).
template <class Code>
__global__ void kernelRegionSums(const Code* labelling, const float* density, const Code* sites, int siteCount,
                                 SiteSums* sums, int firstPlane, int planes, GridShape g);

template <class Code>
void launchRegionSums(const Code* labelling, const float* density, const Code* sites, int siteCount, SiteSums* sums,
                      int firstPlane, int planes, GridShape g);

CVT_END_NAMESPACE
