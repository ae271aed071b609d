#include "site_sums.h"

#include <algorithm>

#include "../device/fast_path.h"
#include "../device/launch_shapes.h"

CVT_BEGIN_NAMESPACE

namespace {

// The position of `code` among the increasing `sites`, or -1.
__host__ __device__ __forceinline__ int sitePosition(const int* sites, int siteCount, int code) {
    int low = 0, high = siteCount;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (sites[middle] < code) low = middle + 1;
        else high = middle;
    }
    return low < siteCount && sites[low] == code ? low : -1;
}

}  // namespace

template <class Moment>
__global__ void kernelSiteSums(const int* rowSiteMap, const Moment* xMoment, const Moment* yMoment,
                               const Moment* zMoment, const Moment* mass, const int* sites, int siteCount,
                               Moment* sums, int firstPlane, int planes, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    if (z < firstPlane || z >= firstPlane + planes) return;
    const int i = g.index(x, y, z);
    const int code = rowSiteMap[i];
    if (code < 0) return;
    const int s = sitePosition(sites, siteCount, code);
    if (s < 0) return;
    // Integer sums come out the same in any order; float sums only up to rounding.
    atomicAdd(&sums[4 * s + 0], xMoment[i]);
    atomicAdd(&sums[4 * s + 1], yMoment[i]);
    atomicAdd(&sums[4 * s + 2], zMoment[i]);
    atomicAdd(&sums[4 * s + 3], mass[i]);
}

namespace {

// Fixed-point sums only: their order does not show. One pass over the slab's planes; a row's anchors
// are few and mostly name the site of the one before, so the last search is reused.
bool hostSiteSums(dim3 grid, dim3 block, const int* rowSiteMap, const FixedMoment* xMoment,
                  const FixedMoment* yMoment, const FixedMoment* zMoment, const FixedMoment* mass, const int* sites,
                  int siteCount, FixedMoment* sums, int firstPlane, int planes, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const size_t begin = size_t(g.index(0, 0, std::max(firstPlane, 0)));
    const size_t end = size_t(g.index(0, 0, std::min(firstPlane + planes, g.z)));
    int lastCode = -1, lastPosition = -1;
    for (size_t i = begin; i < end; ++i) {
        const int code = rowSiteMap[i];
        if (code < 0) continue;
        if (code != lastCode) {
            lastCode = code;
            lastPosition = sitePosition(sites, siteCount, code);
        }
        if (lastPosition < 0) continue;
        FixedMoment* total = sums + 4 * size_t(lastPosition);
        total[0] += xMoment[i];
        total[1] += yMoment[i];
        total[2] += zMoment[i];
        total[3] += mass[i];
    }
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelSiteSums<FixedMoment>, hostSiteSums);

template <class Moment>
void launchSiteSums(const int* rowSiteMap, MomentVolumes<Moment> m, const int* sites, int siteCount, Moment* sums,
                    int firstPlane, int planes, GridShape g) {
    LAUNCH_KERNEL(kernelSiteSums<Moment>, voxelGrid(g), voxelBlock(), 0, rowSiteMap, m.x, m.y, m.z, m.mass, sites,
                  siteCount, sums, firstPlane, planes, g);
}

template void launchSiteSums<float>(const int*, MomentVolumes<float>, const int*, int, float*, int, int, GridShape);
template void launchSiteSums<FixedMoment>(const int*, MomentVolumes<FixedMoment>, const int*, int, FixedMoment*, int,
                                          int, GridShape);

CVT_END_NAMESPACE
