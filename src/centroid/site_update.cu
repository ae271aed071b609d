// The move of every site towards (omega = 1), through (omega = 2) or short of its region's centroid.
#include <math.h>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"
#include "centroid.h"
#include "site_move.h"

CVT_BEGIN_NAMESPACE

namespace {

// The voxel a site moved to q lands on: q itself without a mask, else the inside voxel nearest to q.
// Returns whether the mask sent it elsewhere.
__host__ __device__ bool landInside(const int* nearestInside, int& qx, int& qy, int& qz, const GridShape& g) {
    if (nearestInside == nullptr) return false;
    const int target = nearestInside[g.index(qx, qy, qz)];
    if (g.codes.x(target) == qx && g.codes.y(target) == qy && g.codes.z(target) == qz) return false;
    qx = g.codes.x(target);
    qy = g.codes.y(target);
    qz = g.codes.z(target);
    return true;
}

// Moves the site at voxel i, now at q, as the kernel's comment says. Returns whether the mask sent it
// to another voxel.
template <class Moment>
__host__ __device__ bool moveSite(MomentVolumes<const Moment> m, size_t i, float omega, GridBox limit,
                                  const int* nearestInside, const GridShape& g, int& qx, int& qy, int& qz) {
    // A region without mass has no centroid: the site stays where it is (or, carried to a finer level
    // just outside a mask, goes inside).
    moveTowardsCentroid(RegionSums<Moment>{m.x[i], m.y[i], m.z[i], m.mass[i]}, omega, limit, qx, qy, qz);
    return landInside(nearestInside, qx, qy, qz, g);
}

}  // namespace

template <class Moment>
__global__ void kernelUpdateCentroid(const int* labelling, int* newSites, const Moment* xMoment,
                                     const Moment* yMoment, const Moment* zMoment, const Moment* mass,
                                     const int* nearestInside, unsigned* insideMoves, float omega, int limitX,
                                     int limitY, int limitZ, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = g.index(x, y, z);
    const int code = labelling[i];
    // Only site voxels go on. An empty label is no site, even though its fields read (0, 0, 0).
    if (code < 0 || g.codes.x(code) != x || g.codes.y(code) != y || g.codes.z(code) != z) return;
    int qx = x, qy = y, qz = z;
    const MomentVolumes<const Moment> m{xMoment, yMoment, zMoment, mass};
    if (moveSite(m, i, omega, GridBox{limitX, limitY, limitZ}, nearestInside, g, qx, qy, qz))
        atomicAdd(insideMoves, 1u);
    // Sites that land on one voxel store the same code there and merge into one.
    newSites[g.index(qx, qy, qz)] = g.codes.encode(qx, qy, qz);
}

namespace {

// Whether a row holds a site voxel: a label that, the bits above its fields aside, is the code of its
// own voxel. A pass that the compiler vectorises, as nearly every row holds none.
bool rowHoldsSite(const int* labels, const GridShape& g, int y, int z) {
    const int xShift = g.codes.yBits + g.codes.zBits;
    const int rowCode = g.codes.encode(0, y, z), fields = EMPTY_SITE | ((1 << (xShift + g.codes.xBits)) - 1);
    int found = 0;
    for (int x = 0; x < g.x; ++x) found |= (labels[x] & fields) == (rowCode | x << xShift);
    return found != 0;
}

// Slices in parallel. Sites that merge store the same code, so the order of the stores does not matter.
template <class Moment>
bool hostUpdateCentroid(dim3 grid, dim3 block, const int* labelling, int* newSites, const Moment* xMoment,
                        const Moment* yMoment, const Moment* zMoment, const Moment* mass, const int* nearestInside,
                        unsigned* insideMoves, float omega, int limitX, int limitY, int limitZ, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const MomentVolumes<const Moment> m{xMoment, yMoment, zMoment, mass};
    const GridBox limit{limitX, limitY, limitZ};
    hostParallelFor(g.z, [&](int64_t slice) {
        const int z = int(slice);
        unsigned moves = 0;
        for (int y = 0; y < g.y; ++y) {
            const size_t row = (size_t(z) * g.y + y) * g.x;
            if (!rowHoldsSite(labelling + row, g, y, z)) continue;
            for (int x = 0; x < g.x; ++x) {
                const size_t i = row + x;
                const int code = labelling[i];
                if (code < 0 || g.codes.x(code) != x || g.codes.y(code) != y || g.codes.z(code) != z) continue;
                int qx = x, qy = y, qz = z;
                moves += moveSite(m, i, omega, limit, nearestInside, g, qx, qy, qz);
                newSites[size_t(g.index(qx, qy, qz))] = g.codes.encode(qx, qy, qz);
            }
        }
        if (moves != 0) __atomic_fetch_add(insideMoves, moves, __ATOMIC_RELAXED);
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelUpdateCentroid<float>, hostUpdateCentroid<float>);
CVT_HOST_FAST_PATH(kernelUpdateCentroid<FixedMoment>, hostUpdateCentroid<FixedMoment>);

template <class Moment>
void launchUpdateCentroid(const int* labelling, int* newSites, MomentVolumes<Moment> m, float omega, GridBox limit,
                          GridShape g, InsideMap inside) {
    LAUNCH_KERNEL(kernelUpdateCentroid<Moment>, voxelGrid(g), voxelBlock(), 0, labelling, newSites, m.x, m.y, m.z,
                  m.mass, inside.nearestInside, inside.moves, omega, limit.x, limit.y, limit.z, g);
}

template void launchUpdateCentroid<float>(const int*, int*, MomentVolumes<float>, float, GridBox, GridShape,
                                          InsideMap);
template void launchUpdateCentroid<FixedMoment>(const int*, int*, MomentVolumes<FixedMoment>, float, GridBox,
                                                GridShape, InsideMap);

CVT_END_NAMESPACE
