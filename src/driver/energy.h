// CVT energy of the current labelling: the density-weighted sum of squared distances from every voxel
// to its site, measured in units of half the grid's longest side (a cube of edge 2 for a cubic grid),
// summed on the device with a fixed order.
#pragma once

#include "../device/device.h"
#include "../host/axis_spacing.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

constexpr unsigned reduceBlockSize = 512;
constexpr int maxReduceBlocks = 32768;

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

// Number of blocks of a reduction pass over `count` values.
int reduceBlocks(int count);

CVT_END_NAMESPACE
