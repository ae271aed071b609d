#include "fill.h"

#include <algorithm>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelFill(int* volume, int value, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    volume[g.index(x, y, z)] = value;
}

namespace {

// The grid slice by slice.
bool hostFill(dim3 grid, dim3 block, int* volume, int value, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const size_t slice = size_t(g.x) * g.y;
    hostParallelFor(g.z, [&](int64_t z) { std::fill_n(volume + slice * z, slice, value); });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelFill, hostFill);

CVT_END_NAMESPACE
