#include "../device/launch_shapes.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

// The coordinates are the voxel's integer indices, not its centre, so centroids come out in the same
// frame as site codes. Each product is one rounded multiplication; the build forbids contraction.
template <class Moment>
__global__ void kernelCalcProduct(const float* density, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                                  Moment* mass, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = (z * n + y) * n + x;
    const float rho = density[i];
    xMoment[i] = MomentArithmetic<Moment>::product(float(x), rho);
    yMoment[i] = MomentArithmetic<Moment>::product(float(y), rho);
    zMoment[i] = MomentArithmetic<Moment>::product(float(z), rho);
    mass[i] = MomentArithmetic<Moment>::product(1.0f, rho);
}

template <class Moment>
void launchCalcProduct(const float* density, MomentVolumes<Moment> m, int n) {
    LAUNCH_KERNEL(kernelCalcProduct<Moment>, voxelGrid(n), voxelBlock(), 0, density, m.x, m.y, m.z, m.mass, n);
}

template void launchCalcProduct<float>(const float*, MomentVolumes<float>, int);
template void launchCalcProduct<FixedMoment>(const float*, MomentVolumes<FixedMoment>, int);

CVT_END_NAMESPACE
