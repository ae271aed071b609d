// CVT energy of the current labelling: the density-weighted sum of squared distances from every voxel
// to its site, measured in a cube of edge 2, summed on the device with a fixed order.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

constexpr unsigned reduceBlockSize = 512;
constexpr int maxReduceBlocks = 32768;

__global__ void kernelEnergyValue(const int* labels, const float* density, float* terms, int n);

// One pass of the sum reduction: `blocks` blocks of reduceBlockSize threads over `count` values of
// `input`, block b writing its partial sum to output[b].
void launchReduce(const float* input, float* output, unsigned count, int blocks);

// Energy of `currentSites` on the current level: leaves the raw sum in energyReadback and returns it
// scaled by 8^levelIndex, so that every level is on the scale of the full grid. Uses scratchSites
// as scratch space for partial sums.
float evaluateEnergy();

// Number of blocks of a reduction pass over `count` values.
int reduceBlocks(int count);

CVT_END_NAMESPACE
