// CVT energy of the current labelling: the density-weighted sum of squared distances from every voxel
// to its site, measured in units of half the grid's longest side (a cube of edge 2 for a cubic grid),
// summed on the device with a fixed order.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/device.h"
#include "../host/axis_spacing.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

constexpr unsigned reduceBlockSize = 512;

// Each offset is multiplied by its axis's scale: all 1 for cubic voxels, else the spacing divided by
// its smallest value, so that anisotropic distances are physical ones in units of the smallest spacing.
__global__ void kernelEnergyValue(const int* labels, const float* density, float* terms, GridShape g, AxisScales scales);

// One pass of the sum reduction: `blocks` blocks of reduceBlockSize threads over `count` values of
// `input`, block b writing its partial sum to output[b].
void launchReduce(const float* input, float* output, unsigned count, int blocks);

// Energy of `currentSites` on the current level under `scales`: leaves the raw sum in energyReadback and returns it
// scaled by 8^levelIndex, so that every level is on the scale of the full grid. Uses scratchSites
// as scratch space for partial sums.
float evaluateEnergy(const AxisScales& scales = {});

// Number of blocks of a reduction pass over `count` values: one per 2 reduceBlockSize values, so that
// the first pass sums the same runs of voxels in a slab of the grid as in the whole grid.
int reduceBlocks(int count);

// A grid split into slabs of whole planes (each of a multiple of 2 reduceBlockSize voxels) sums its
// energy to the same bits as the whole grid: each slab's first pass gives the sums of its own runs of
// voxels, and the passes after it run on the runs of every slab in plane order.
//
// The first-pass sums of planes [firstPlane, firstPlane + planes) of gridSize (a slab grid), for the
// labelling in currentSites.
std::vector<float> slabEnergyRuns(const AxisScales& scales, int firstPlane, int planes);
// The energy of the whole grid of `wholeVoxels` voxels from the first-pass sums of all its planes,
// through `deviceRuns` (reduceBlocks(wholeVoxels) floats), as evaluateEnergy returns it.
float energyOfRuns(const std::vector<float>& runs, int64_t wholeVoxels, float* deviceRuns);

CVT_END_NAMESPACE
