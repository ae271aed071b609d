// Summation of the moment volumes over every site's region, in place: along each row into the row
// anchor (the voxel of the row whose x is the site's x), then from each row anchor into the site voxel.
#include <algorithm>
#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

// Every x of the row gets a site of that x which labels a voxel of the row. In an exact labelling at
// most one such site exists per x (the distance to two sites of equal x differs by a constant along
// a row), so every store into a slot writes the same code. Otherwise the stores race and the one that
// survives depends on the order of the lanes; the gather accepts any of them.
__global__ void kernel2DVoronoi(const int* labelling, int* rowSiteMap, GridShape g) {
    int* sharedVoro = dynamicShared<int>();
    const int n = g.x;
    const int base = g.index(0, int(blockIdx.x), int(blockIdx.y));
    for (int x = threadIdx.x; x < n; x += blockDim.x) sharedVoro[x] = EMPTY_SITE;
    __syncthreads();
    for (int x = threadIdx.x; x < n; x += blockDim.x) {
        const int code = labelling[base + x];
        sharedVoro[g.codes.x(code)] = code;
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
                             GridShape g) {
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    const int base = g.index(0, int(blockIdx.x), int(blockIdx.y));
    for (int chunk = 0; chunk < g.x; chunk += blockDim.x) {
        __syncthreads();
        const int x = chunk + threadIdx.x;
        const int anchor = g.codes.x(labelling[base + x]);
        Moment values[4];
        for (int m = 0; m < 4; ++m) values[m] = moments[m][base + x];
        __syncwarp();
        if (anchor == x) continue;  // the row anchor keeps its own values where they are
        for (int m = 0; m < 4; ++m) atomicAdd(&moments[m][base + anchor], values[m]);
    }
}

template <class Moment>
__global__ void kernelTotalYZ(const int* rowSiteMap, Moment* xMoment, Moment* yMoment, Moment* zMoment, Moment* mass,
                              GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = g.index(x, y, z);
    const int code = rowSiteMap[i];
    if (code < 0) return;  // no site of this x in the row
    const int siteRow = g.codes.y(code), siteSlice = g.codes.z(code);
    if (siteRow == y && siteSlice == z) return;  // the site voxel itself (its x is x by construction)
    // Row anchors of different rows add into the same site voxel in an open order: only the rounding
    // of the sums depends on it. (Where a labelling is not exact, a site voxel can also be another
    // site's row anchor; whether it is read before or after the additions into it is open too.)
    const int target = g.index(g.codes.x(code), siteRow, siteSlice);
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    for (int m = 0; m < 4; ++m) atomicAdd(&moments[m][target], moments[m][i]);
}

namespace {

// The host fast paths, each following the order of the simulation's threads where that order shows in
// the results.

// A row at a time, with the kernel's lanes storing in turn: lane 0 all its x values, then lane 1, so
// that where several labels of a row share an x, the same one survives. A label whose x lies beyond
// the row (no labelling of the grid has one) lands in a slot that nobody reads, not beyond the buffer.
// Everything the loops read is a local: a store into the slots could otherwise alias it, and the
// compiler would read it again after every store.
bool host2DVoronoi(dim3 grid, dim3 block, const int* labelling, int* rowSiteMap, GridShape g) {
    if (!isRowLaunch(grid, block, g)) return false;
    hostParallelFor(g.z, [labelling, rowSiteMap, g](int64_t z) {
        constexpr int lanes = 32;  // rowBlock().x, which a launch of this shape has
        const int n = g.x, rows = g.y;
        const SiteLayout codes = g.codes;
        std::vector<int> slotStore(std::max(n, 1 << codes.xBits));
        int* const slots = slotStore.data();
        for (int y = 0; y < rows; ++y) {
            const size_t base = (size_t(z) * rows + y) * n;
            const int* const labels = labelling + base;
            std::fill_n(slots, n, EMPTY_SITE);
            for (int lane = 0; lane < lanes; ++lane)
                for (int x = lane; x < n; x += lanes) {
                    const int code = labels[x];
                    slots[codes.x(code)] = code;
                }
            std::copy_n(slots, n, rowSiteMap + base);
        }
    });
    return true;
}

// Rows in parallel, as every addition stays within its row; each row as its block runs on one host
// thread: chunk by chunk, every lane's values as they were at the start of the chunk, added lane
// after lane. The float sums of every row are thus the simulation's, bit for bit. Consecutive lanes
// mostly add into one anchor: its sums stay in registers until a lane adds elsewhere or the chunk
// ends, which is the same additions in the same order into the same values.
template <class Moment>
bool hostTotalX(dim3 grid, dim3 block, const int* labelling, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                Moment* mass, GridShape g) {
    if (!isRowLaunch(grid, block, g)) return false;
    constexpr int lanes = 32;  // rowBlock().x, which a launch of this shape has
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    const int n = g.x;
    const SiteLayout codes = g.codes;
    hostParallelFor(int64_t(g.y) * g.z, [&](int64_t row) {
        const size_t base = size_t(row) * n;
        const int* labels = labelling + base;
        Moment* const rowMoments[4] = {moments[0] + base, moments[1] + base, moments[2] + base, moments[3] + base};
        for (int chunk = 0; chunk < n; chunk += lanes) {
            Moment values[4][lanes];
            for (int m = 0; m < 4; ++m) std::copy_n(rowMoments[m] + chunk, lanes, values[m]);
            int anchor = -1;  // whose sums are in `sums`
            Moment sums[4] = {};
            for (int lane = 0; lane < lanes; ++lane) {
                const int x = chunk + lane, to = codes.x(labels[x]);
                if (to == x) continue;
                if (to != anchor) {
                    if (anchor >= 0)
                        for (int m = 0; m < 4; ++m) rowMoments[m][anchor] = sums[m];
                    anchor = to;
                    for (int m = 0; m < 4; ++m) sums[m] = rowMoments[m][anchor];
                }
                for (int m = 0; m < 4; ++m) sums[m] = sums[m] + values[m][lane];
            }
            if (anchor >= 0)
                for (int m = 0; m < 4; ++m) rowMoments[m][anchor] = sums[m];
        }
    });
    return true;
}

// One pass in voxel order. A row site map names sites of the x where it holds them, so every voxel is
// read and added into only at its own x, and this order touches each voxel in the order in which the
// simulation does on one host thread, block after block. On several host threads the simulation's
// float sums have no fixed order; fixed-point sums are the same in every order, as long as no site
// voxel is also a row anchor that moves its sums on.
template <class Moment>
bool hostTotalYZ(dim3 grid, dim3 block, const int* rowSiteMap, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                 Moment* mass, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    Moment* const moments[4] = {xMoment, yMoment, zMoment, mass};
    const SiteLayout codes = g.codes;
    for (int z = 0; z < g.z; ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x) {
                const size_t i = (size_t(z) * g.y + y) * g.x + x;
                const int code = rowSiteMap[i];
                if (code < 0 || (codes.y(code) == y && codes.z(code) == z)) continue;
                const size_t target = (size_t(codes.z(code)) * g.y + codes.y(code)) * g.x + codes.x(code);
                for (int m = 0; m < 4; ++m) {
                    const Moment value = moments[m][i];
                    moments[m][target] = moments[m][target] + value;
                }
            }
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernel2DVoronoi, host2DVoronoi);
CVT_HOST_FAST_PATH(kernelTotalX<float>, hostTotalX<float>);
CVT_HOST_FAST_PATH(kernelTotalX<FixedMoment>, hostTotalX<FixedMoment>);
CVT_HOST_FAST_PATH(kernelTotalYZ<float>, hostTotalYZ<float>);
CVT_HOST_FAST_PATH(kernelTotalYZ<FixedMoment>, hostTotalYZ<FixedMoment>);

template <class Moment>
void launchTotalX(const int* labelling, MomentVolumes<Moment> m, GridShape g) {
    LAUNCH_KERNEL(kernelTotalX<Moment>, rowGrid(g), rowBlock(), 0, labelling, m.x, m.y, m.z, m.mass, g);
}

template <class Moment>
void launchTotalYZ(const int* rowSiteMap, MomentVolumes<Moment> m, GridShape g) {
    LAUNCH_KERNEL(kernelTotalYZ<Moment>, voxelGrid(g), voxelBlock(), 0, rowSiteMap, m.x, m.y, m.z, m.mass, g);
}

template void launchTotalX<float>(const int*, MomentVolumes<float>, GridShape);
template void launchTotalX<FixedMoment>(const int*, MomentVolumes<FixedMoment>, GridShape);
template void launchTotalYZ<float>(const int*, MomentVolumes<float>, GridShape);
template void launchTotalYZ<FixedMoment>(const int*, MomentVolumes<FixedMoment>, GridShape);

CVT_END_NAMESPACE
