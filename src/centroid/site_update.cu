// The move of every site towards (omega = 1), through (omega = 2) or short of its region's centroid.
#include <climits>
#include <math.h>

#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "../host/site_code.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

namespace {

// Truncation toward zero with values beyond the int range saturating, as the device's conversion
// does; a plain cast would be undefined there on the host. Never called with a NaN.
__host__ __device__ int truncateSaturating(double value) {
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= -2147483649.0) return INT_MIN;
    return int(value);
}

// p + omega * (g - p) in double with one rounding for the multiply-add, rounded half up to a voxel and
// clamped into 0 .. limit - 1. An axis whose result is not a number (an infinite centroid times omega = 0,
// or a NaN density) keeps its coordinate rather than landing on whatever NaN would convert to.
__host__ __device__ int movedCoordinate(float centroid, int p, float omega, int limit) {
    const double offset = double(centroid) - double(p);
    double moved = fma(double(omega), offset, double(p));
    moved = moved + 0.5;
    if (moved != moved) return p;
    int q = truncateSaturating(moved);
    q = q < limit - 1 ? q : limit - 1;
    q = q > 0 ? q : 0;
    return q;
}

// The voxel a site moved to q lands on: q itself without a mask, else the inside voxel nearest to q.
// Returns whether the mask sent it elsewhere.
__host__ __device__ bool landInside(const int* nearestInside, int& qx, int& qy, int& qz, int n) {
    if (nearestInside == nullptr) return false;
    const int target = nearestInside[(qz * n + qy) * n + qx];
    if (siteX(target) == qx && siteY(target) == qy && siteZ(target) == qz) return false;
    qx = siteX(target);
    qy = siteY(target);
    qz = siteZ(target);
    return true;
}

// Moves the site at voxel i, now at q, as the kernel's comment says. Returns whether the mask sent it
// to another voxel.
template <class Moment>
__host__ __device__ bool moveSite(MomentVolumes<const Moment> m, size_t i, float omega, GridBox limit,
                                  const int* nearestInside, int n, int& qx, int& qy, int& qz) {
    using Arithmetic = MomentArithmetic<Moment>;
    const float regionMass = Arithmetic::value(m.mass[i]);
    // A region without mass has no centroid: the site stays where it is (or, carried to a finer level
    // just outside a mask, goes inside).
    if (regionMass != 0.0f) {
        qx = movedCoordinate(Arithmetic::value(m.x[i]) / regionMass, qx, omega, limit.x);
        qy = movedCoordinate(Arithmetic::value(m.y[i]) / regionMass, qy, omega, limit.y);
        qz = movedCoordinate(Arithmetic::value(m.z[i]) / regionMass, qz, omega, limit.z);
    }
    return landInside(nearestInside, qx, qy, qz, n);
}

}  // namespace

template <class Moment>
__global__ void kernelUpdateCentroid(const int* labelling, int* newSites, const Moment* xMoment,
                                     const Moment* yMoment, const Moment* zMoment, const Moment* mass,
                                     const int* nearestInside, unsigned* insideMoves, float omega, int limitX,
                                     int limitY, int limitZ, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = (z * n + y) * n + x;
    const int code = labelling[i];
    // Only site voxels go on. An empty label is no site, even though its fields read (0, 0, 0).
    if (code < 0 || siteX(code) != x || siteY(code) != y || siteZ(code) != z) return;
    int qx = x, qy = y, qz = z;
    const MomentVolumes<const Moment> m{xMoment, yMoment, zMoment, mass};
    if (moveSite(m, i, omega, GridBox{limitX, limitY, limitZ}, nearestInside, n, qx, qy, qz))
        atomicAdd(insideMoves, 1u);
    // Sites that land on one voxel store the same code there and merge into one.
    newSites[(qz * n + qy) * n + qx] = encodeSite(qx, qy, qz);
}

namespace {

// Whether a row holds a site voxel: a label that, bit 30 aside (it lies in no field), is the code of
// its own voxel. A pass that the compiler vectorises, as nearly every row holds none.
bool rowHoldsSite(const int* labels, int n, int y, int z) {
    const int rowCode = encodeSite(0, y, z), fields = ~(1 << 30);
    int found = 0;
    for (int x = 0; x < n; ++x) found |= (labels[x] & fields) == (rowCode | x << 20);
    return found != 0;
}

// Slices in parallel. Sites that merge store the same code, so the order of the stores does not matter.
template <class Moment>
bool hostUpdateCentroid(dim3 grid, dim3 block, const int* labelling, int* newSites, const Moment* xMoment,
                        const Moment* yMoment, const Moment* zMoment, const Moment* mass, const int* nearestInside,
                        unsigned* insideMoves, float omega, int limitX, int limitY, int limitZ, int n) {
    if (!isVoxelLaunch(grid, block, n)) return false;
    const MomentVolumes<const Moment> m{xMoment, yMoment, zMoment, mass};
    const GridBox limit{limitX, limitY, limitZ};
    hostParallelFor(n, [&](int64_t slice) {
        const int z = int(slice);
        unsigned moves = 0;
        for (int y = 0; y < n; ++y) {
            const size_t row = (size_t(z) * n + y) * n;
            if (!rowHoldsSite(labelling + row, n, y, z)) continue;
            for (int x = 0; x < n; ++x) {
                const size_t i = row + x;
                const int code = labelling[i];
                if (code < 0 || siteX(code) != x || siteY(code) != y || siteZ(code) != z) continue;
                int qx = x, qy = y, qz = z;
                moves += moveSite(m, i, omega, limit, nearestInside, n, qx, qy, qz);
                newSites[(size_t(qz) * n + qy) * n + qx] = encodeSite(qx, qy, qz);
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
                          int n, InsideMap inside) {
    LAUNCH_KERNEL(kernelUpdateCentroid<Moment>, voxelGrid(n), voxelBlock(), 0, labelling, newSites, m.x, m.y, m.z,
                  m.mass, inside.nearestInside, inside.moves, omega, limit.x, limit.y, limit.z, n);
}

template void launchUpdateCentroid<float>(const int*, int*, MomentVolumes<float>, float, GridBox, int, InsideMap);
template void launchUpdateCentroid<FixedMoment>(const int*, int*, MomentVolumes<FixedMoment>, float, GridBox, int,
                                                InsideMap);

CVT_END_NAMESPACE
