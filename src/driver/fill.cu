#include "fill.h"

#include <algorithm>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

template <class Value>
__global__ void kernelFill(Value* volume, Value value, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    volume[g.index(x, y, z)] = value;
}

template __global__ void kernelFill<SiteCode>(SiteCode*, SiteCode, GridShape);
template __global__ void kernelFill<WideSiteCode>(WideSiteCode*, WideSiteCode, GridShape);

namespace {

// The grid slice by slice.
template <class Value>
bool hostFill(dim3 grid, dim3 block, Value* volume, Value value, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const size_t slice = size_t(g.x) * g.y;
    hostParallelFor(g.z, [&](int64_t z) { std::fill_n(volume + slice * z, slice, value); });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelFill<SiteCode>, hostFill<SiteCode>);
CVT_HOST_FAST_PATH(kernelFill<WideSiteCode>, hostFill<WideSiteCode>);

CVT_END_NAMESPACE
