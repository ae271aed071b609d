#include "fill.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelFill(int* volume, int value, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    volume[x + n * (y + n * z)] = value;
}

CVT_END_NAMESPACE
