// Summation of the moment volumes over every site's region, in place: along each row into the row
// anchor (the voxel of the row whose x is the site's x), then from each row anchor into the site voxel.
#include "../device/launch_shapes.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

// Every x of the row gets a site of that x which labels a voxel of the row. In an exact labelling at
// most one such site exists per x (the distance to two sites of equal x differs by a constant along
// a row), so every store into a slot writes the same code. Otherwise the stores race and the one that
// survives depends on the order of the lanes; the gather accepts any of them.
__global__ void kernel2DVoronoi(const int* labelling, int* rowSiteMap, int n) {
    int* sharedVoro = dynamicShared<int>();
    const int base = (int(blockIdx.y) * n + int(blockIdx.x)) * n;
    for (int x = threadIdx.x; x < n; x += blockDim.x) sharedVoro[x] = EMPTY_SITE;
    __syncthreads();
    for (int x = threadIdx.x; x < n; x += blockDim.x) {
        const int code = labelling[base + x];
        sharedVoro[siteX(code)] = code;
    }
    __syncthreads();
    for (int x = threadIdx.x; x < n; x += blockDim.x) rowSiteMap[base + x] = sharedVoro[x];
}

// The row is walked in chunks of one warp; the barrier at the start of a chunk makes every addition
// of the earlier chunks visible. A voxel labelled by one site can be the row anchor of another site
// of the row, which does not label it: it both receives that site's voxels and moves its own values
// away. It moves what it held at the start of its chunk: every lane loads its values before any lane
// of the chunk adds, which the warp barrier makes explicit, so the result does not depend on the
// order in which the lanes of a warp run. The order of the additions into one anchor is open, as
// with every float atomic, and changes only the rounding of the sums.
template <class Moment>
__global__ void kernelTotalX(const int* labelling, Moment* xMoment, Moment* yMoment, Moment* zMoment, Moment* mass,
                             int n) {
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    const int base = (int(blockIdx.y) * n + int(blockIdx.x)) * n;
    for (int chunk = 0; chunk < n; chunk += blockDim.x) {
        __syncthreads();
        const int x = chunk + threadIdx.x;
        const int anchor = siteX(labelling[base + x]);
        Moment values[4];
        for (int m = 0; m < 4; ++m) values[m] = moments[m][base + x];
        __syncwarp();
        if (anchor == x) continue;  // the row anchor keeps its own values where they are
        for (int m = 0; m < 4; ++m) atomicAdd(&moments[m][base + anchor], values[m]);
    }
}

template <class Moment>
__global__ void kernelTotalYZ(const int* rowSiteMap, Moment* xMoment, Moment* yMoment, Moment* zMoment, Moment* mass,
                              int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = (z * n + y) * n + x;
    const int code = rowSiteMap[i];
    if (code < 0) return;  // no site of this x in the row
    const int siteRow = siteY(code), siteSlice = siteZ(code);
    if (siteRow == y && siteSlice == z) return;  // the site voxel itself (its x is x by construction)
    // Row anchors of different rows add into the same site voxel in an open order: only the rounding
    // of the sums depends on it. (Where a labelling is not exact, a site voxel can also be another
    // site's row anchor; whether it is read before or after the additions into it is open too.)
    const int target = (siteSlice * n + siteRow) * n + siteX(code);
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    for (int m = 0; m < 4; ++m) atomicAdd(&moments[m][target], moments[m][i]);
}

template <class Moment>
void launchTotalX(const int* labelling, MomentVolumes<Moment> m, int n) {
    LAUNCH_KERNEL(kernelTotalX<Moment>, rowGrid(n), rowBlock(), 0, labelling, m.x, m.y, m.z, m.mass, n);
}

template <class Moment>
void launchTotalYZ(const int* rowSiteMap, MomentVolumes<Moment> m, int n) {
    LAUNCH_KERNEL(kernelTotalYZ<Moment>, voxelGrid(n), voxelBlock(), 0, rowSiteMap, m.x, m.y, m.z, m.mass, n);
}

template void launchTotalX<float>(const int*, MomentVolumes<float>, int);
template void launchTotalX<FixedMoment>(const int*, MomentVolumes<FixedMoment>, int);
template void launchTotalYZ<float>(const int*, MomentVolumes<float>, int);
template void launchTotalYZ<FixedMoment>(const int*, MomentVolumes<FixedMoment>, int);

CVT_END_NAMESPACE
