#include "energy.h"

#include <math.h>

#include <cmath>

#include "../device/launch_shapes.h"
#include "../host/buffers.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelEnergyValue(const int* labels, const float* density, float* terms, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int index = x + n * (y + n * z);
    const int code = labels[index];
    const float d = density[index];
    // Each offset is scaled to the cube of edge 2 in double and rounded once to single precision.
    const float dx = static_cast<float>(static_cast<double>(x - siteX(code)) * 2.0 / static_cast<double>(n));
    const float dy = static_cast<float>(static_cast<double>(y - siteY(code)) * 2.0 / static_cast<double>(n));
    const float dz = static_cast<float>(static_cast<double>(z - siteZ(code)) * 2.0 / static_cast<double>(n));
    float squared = dy * dy;
    squared = fmaf(dx, dx, squared);
    squared = fmaf(dz, dz, squared);
    terms[index] = d * squared;
}

template <unsigned BlockSize>
__global__ void kernelReduce(const float* input, float* output, unsigned count) {
    __shared__ float sdata[BlockSize];
    const unsigned t = threadIdx.x;
    sdata[t] = 0.0f;
    float sum = 0.0f;
    const unsigned stride = BlockSize * 2 * gridDim.x;
    for (unsigned i = blockIdx.x * BlockSize * 2 + t; i < count; i += stride) {
        float pair = input[i];
        if (i + BlockSize < count) pair = pair + input[i + BlockSize];
        sum = sum + pair;
    }
    sdata[t] = sum;
    __syncthreads();
    for (unsigned s = BlockSize / 2; s > 32; s /= 2) {
        if (t < s) sdata[t] = sdata[t] + sdata[t + s];
        __syncthreads();
    }
    if (t < 32) {
        // Within the first warp each step reads all its operands before any lane writes, and the
        // warp barriers order the steps: lanes do not run in lock-step on current GPUs.
        for (unsigned s = 32; s > 0; s /= 2) {
            const float partial = sdata[t] + sdata[t + s];
            __syncwarp();
            sdata[t] = partial;
            __syncwarp();
        }
    }
    if (t == 0) output[blockIdx.x] = sdata[0];
}

void launchReduce(const float* input, float* output, unsigned count, int blocks) {
    LAUNCH_KERNEL(kernelReduce<reduceBlockSize>, dim3(blocks), dim3(reduceBlockSize), 0, input, output, count);
}

int reduceBlocks(int count) {
    const int blocks = static_cast<int>(std::ceil(count * (1.0 / reduceBlockSize)));
    return blocks < maxReduceBlocks ? blocks : maxReduceBlocks;
}

namespace {

// One reduction pass over `count` values of `input`. A pass of several blocks never writes where it
// reads, since block b writes element b while another block may not have read it yet; a single
// block reads everything before it writes, so it may work in place.
float* reducePass(float* input, unsigned count, int blocks, float* partials) {
    float* output = (blocks > 1 && input == energyBuffer) ? partials : energyBuffer;
    launchReduce(input, output, count, blocks);
    return output;
}

}  // namespace

float evaluateEnergy() {
    const int n = gridSize;
    LAUNCH_KERNEL(kernelEnergyValue, voxelGrid(n), voxelBlock(), 0, currentSites,
                  densityLevels[levelIndex], energyBuffer, n);
    // The labelling's partner buffer holds nothing needed until the centroid step rewrites it.
    float* partials = reinterpret_cast<float*>(scratchSites);
    float* values = energyBuffer;
    int count = n * n * n;
    int blocks = 0;
    do {
        blocks = reduceBlocks(count);
        values = reducePass(values, count, blocks, partials);
        count = blocks;
    } while (blocks > static_cast<int>(reduceBlockSize));
    if (blocks > 1) reducePass(values, blocks, 1, partials);
    checkCuda(cudaMemcpy(&energyReadback, energyBuffer, sizeof(float), cudaMemcpyDeviceToHost),
              "reading back the energy");
    return powf(8.0f, static_cast<float>(levelIndex)) * energyReadback;
}

CVT_END_NAMESPACE
