#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/buffers.h"
#include "pyramid.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelCalcDensity(const float* fine, float* coarse, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const GridShape f = g.doubled();
    // x offset outermost, z offset innermost: the order of the additions is part of the result.
    float sum = 0.0f;
    for (int dx = 0; dx < 2; ++dx)
        for (int dy = 0; dy < 2; ++dy)
            for (int dz = 0; dz < 2; ++dz) sum += fine[f.index(2 * x + dx, 2 * y + dy, 2 * z + dz)];
    coarse[g.index(x, y, z)] = sum * 0.125f;
}

namespace {

// Coarse row by coarse row, reading the four fine rows each covers; every sum as the kernel orders it.
bool hostCalcDensity(dim3 grid, dim3 block, const float* fine, float* coarse, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const size_t fx = 2 * size_t(g.x), fy = 2 * size_t(g.y);
    hostParallelFor(int64_t(g.y) * g.z, [&](int64_t row) {
        const size_t y = size_t(row % g.y), z = size_t(row / g.y);
        const float* rows[2][2];
        for (int dy = 0; dy < 2; ++dy)
            for (int dz = 0; dz < 2; ++dz) rows[dy][dz] = fine + fx * ((2 * y + dy) + fy * (2 * z + dz));
        float* out = coarse + size_t(row) * g.x;
        for (int x = 0; x < g.x; ++x) {
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
    // The levels were allocated for the full grid; built from a smaller gridSize they would get the
    // wrong sides.
    if (uint64_t(gridSize.voxels()) * 4 != volumeBytes)
        throw Failure("the density pyramid is built while gridSize is the full grid, not " + shapeText(gridSize));
    // The levels the buffer set holds (a full edge of 160 has none but itself: 80 is no side the kernels
    // can cover).
    for (int level = 1; isPyramidLevel(gridSize, level); ++level) {
        const GridShape coarse = gridSize.halved(level);
        LAUNCH_KERNEL(kernelCalcDensity, voxelGrid(coarse), voxelBlock(), 0, densityLevels[level - 1],
                      densityLevels[level], coarse);
    }
}

CVT_END_NAMESPACE
