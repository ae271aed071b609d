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

}  // namespace

template <class Moment>
__global__ void kernelUpdateCentroid(const int* labelling, int* newSites, const Moment* xMoment,
                                     const Moment* yMoment, const Moment* zMoment, const Moment* mass, float omega,
                                     int limitX, int limitY, int limitZ, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = (z * n + y) * n + x;
    const int code = labelling[i];
    // Only site voxels go on. An empty label is no site, even though its fields read (0, 0, 0).
    if (code < 0 || siteX(code) != x || siteY(code) != y || siteZ(code) != z) return;
    using Arithmetic = MomentArithmetic<Moment>;
    const float regionMass = Arithmetic::value(mass[i]);
    if (regionMass == 0.0f) {
        // A region without mass has no centroid: the site stays where it is.
        newSites[i] = encodeSite(x, y, z);
        return;
    }
    const int qx = movedCoordinate(Arithmetic::value(xMoment[i]) / regionMass, x, omega, limitX);
    const int qy = movedCoordinate(Arithmetic::value(yMoment[i]) / regionMass, y, omega, limitY);
    const int qz = movedCoordinate(Arithmetic::value(zMoment[i]) / regionMass, z, omega, limitZ);
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
                        const Moment* yMoment, const Moment* zMoment, const Moment* mass, float omega, int limitX,
                        int limitY, int limitZ, int n) {
    if (!isVoxelLaunch(grid, block, n)) return false;
    using Arithmetic = MomentArithmetic<Moment>;
    hostParallelFor(n, [&](int64_t slice) {
        const int z = int(slice);
        for (int y = 0; y < n; ++y) {
            const size_t row = (size_t(z) * n + y) * n;
            if (!rowHoldsSite(labelling + row, n, y, z)) continue;
            for (int x = 0; x < n; ++x) {
                const size_t i = row + x;
                const int code = labelling[i];
                if (code < 0 || siteX(code) != x || siteY(code) != y || siteZ(code) != z) continue;
                const float regionMass = Arithmetic::value(mass[i]);
                if (regionMass == 0.0f) {
                    newSites[i] = encodeSite(x, y, z);
                    continue;
                }
                const int qx = movedCoordinate(Arithmetic::value(xMoment[i]) / regionMass, x, omega, limitX);
                const int qy = movedCoordinate(Arithmetic::value(yMoment[i]) / regionMass, y, omega, limitY);
                const int qz = movedCoordinate(Arithmetic::value(zMoment[i]) / regionMass, z, omega, limitZ);
                newSites[(size_t(qz) * n + qy) * n + qx] = encodeSite(qx, qy, qz);
            }
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelUpdateCentroid<float>, hostUpdateCentroid<float>);
CVT_HOST_FAST_PATH(kernelUpdateCentroid<FixedMoment>, hostUpdateCentroid<FixedMoment>);

template <class Moment>
void launchUpdateCentroid(const int* labelling, int* newSites, MomentVolumes<Moment> m, float omega, GridBox limit,
                          int n) {
    LAUNCH_KERNEL(kernelUpdateCentroid<Moment>, voxelGrid(n), voxelBlock(), 0, labelling, newSites, m.x, m.y, m.z,
                  m.mass, omega, limit.x, limit.y, limit.z, n);
}

template void launchUpdateCentroid<float>(const int*, int*, MomentVolumes<float>, float, GridBox, int);
template void launchUpdateCentroid<FixedMoment>(const int*, int*, MomentVolumes<FixedMoment>, float, GridBox, int);

CVT_END_NAMESPACE
