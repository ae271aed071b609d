// Filling a volume with one value: how the driver empties a site volume before sites are written.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// Stores value in every voxel of the n-grid. Grid (n/32, n/4, n), block (32, 4, 1).
__global__ void kernelFill(int* volume, int value, int n);

CVT_END_NAMESPACE
