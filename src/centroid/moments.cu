#include "centroid.h"

CVT_BEGIN_NAMESPACE

// The coordinates are the voxel's integer indices, not its centre, so centroids come out in the same
// frame as site codes. Each product is one rounded multiplication; the build forbids contraction.
__global__ void kernelCalcProduct(const float* density, float* xMoment, float* yMoment, float* zMoment,
                                  float* mass, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = (z * n + y) * n + x;
    const float rho = density[i];
    xMoment[i] = float(x) * rho;
    yMoment[i] = rho * float(y);
    zMoment[i] = rho * float(z);
    mass[i] = rho;
}

CVT_END_NAMESPACE
