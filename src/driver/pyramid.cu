#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "../host/buffers.h"
#include "pyramid.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelCalcDensity(const float* fine, float* coarse, int n) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int m = 2 * n;
    // x offset outermost, z offset innermost: the order of the additions is part of the result.
    float sum = 0.0f;
    for (int dx = 0; dx < 2; ++dx)
        for (int dy = 0; dy < 2; ++dy)
            for (int dz = 0; dz < 2; ++dz) sum += fine[(2 * x + dx) + m * ((2 * y + dy) + m * (2 * z + dz))];
    coarse[x + n * (y + n * z)] = sum * 0.125f;
}

namespace {

// Coarse row by coarse row, reading the four fine rows each covers; every sum as the kernel orders it.
bool hostCalcDensity(dim3 grid, dim3 block, const float* fine, float* coarse, int n) {
    if (!isVoxelLaunch(grid, block, n)) return false;
    const size_t m = 2 * size_t(n);
    hostParallelFor(int64_t(n) * n, [&](int64_t row) {
        const size_t y = size_t(row % n), z = size_t(row / n);
        const float* rows[2][2];
        for (int dy = 0; dy < 2; ++dy)
            for (int dz = 0; dz < 2; ++dz) rows[dy][dz] = fine + m * ((2 * y + dy) + m * (2 * z + dz));
        float* out = coarse + size_t(row) * n;
        for (int x = 0; x < n; ++x) {
            float sum = 0.0f;
            for (int dx = 0; dx < 2; ++dx)
                for (int dy = 0; dy < 2; ++dy)
                    for (int dz = 0; dz < 2; ++dz) sum += rows[dy][dz][2 * x + dx];
            out[x] = sum * 0.125f;
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelCalcDensity, hostCalcDensity);

void buildDensityPyramid() {
    // The levels were allocated for the full edge; built from a smaller gridSize they would get the
    // wrong edges.
    if (uint64_t(gridSize) * gridSize * gridSize * 4 != volumeBytes)
        throw Failure("the density pyramid is built while gridSize is the full edge, not " + std::to_string(gridSize));
    // The levels the buffer set holds (a full edge of 160 has none but itself: 80 is no edge the kernels
    // can cover).
    for (int level = 1; isPyramidLevel(gridSize, level); ++level) {
        const int edge = gridSize >> level;
        LAUNCH_KERNEL(kernelCalcDensity, voxelGrid(edge), voxelBlock(), 0, densityLevels[level - 1],
                      densityLevels[level], edge);
    }
}

CVT_END_NAMESPACE
