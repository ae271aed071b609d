// Filling a volume with one value: how the driver empties a site volume before sites are written.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

// Stores value in every voxel of grid g. Grid voxelGrid(g), block voxelBlock(). For site volumes of
// either code width (site_code.h).
template <class Value>
__global__ void kernelFill(Value* volume, Value value, GridShape g);

CVT_END_NAMESPACE
