#include "energy.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/buffers.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

__global__ void kernelEnergyValue(const int* labels, const float* density, float* terms, GridShape g, AxisScales scales) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int index = g.index(x, y, z);
    const int code = labels[index];
    const float d = density[index];
    // Each offset is scaled to units of half the longest side in double and rounded once to single
    // precision; a scale of 1 multiplies exactly, so cubic voxels keep the unscaled terms.
    const double n = static_cast<double>(g.longestSide());
    const float dx = static_cast<float>(static_cast<double>(x - g.codes.x(code)) * scales.x * 2.0 / n);
    const float dy = static_cast<float>(static_cast<double>(y - g.codes.y(code)) * scales.y * 2.0 / n);
    const float dz = static_cast<float>(static_cast<double>(g.wholeZOf(z) - g.codes.z(code)) * scales.z * 2.0 / n);
    float squared = dy * dy;
    squared = fmaf(dx, dx, squared);
    squared = fmaf(dz, dz, squared);
    terms[index] = d * squared;
}

namespace {

// The kernel's scaling of a coordinate offset along an axis of scale `scale` to the cube of edge 2.
float scaledOffset(int offset, double scale, int n) {
    return static_cast<float>(static_cast<double>(offset) * scale * 2.0 / static_cast<double>(n));
}

// The offsets along one axis that a voxel (first .. end - 1) and a site coordinate of a field of `bits`
// bits can have: from first - (2^bits - 1) on, below end.
struct OffsetRange {
    int lowest, end;
};

OffsetRange offsetRange(int first, int end, int bits) { return OffsetRange{first - ((1 << bits) - 1), end}; }

// The scaling of every offset in a range, tabulated.
class ScaledOffsets {
public:
    ScaledOffsets(double scale, int n, OffsetRange range) : lowest_(range.lowest), values_(size_t(range.end - range.lowest)) {
        for (int offset = range.lowest; offset < range.end; ++offset) values_[offset - lowest_] = scaledOffset(offset, scale, n);
    }
    float operator()(int offset) const { return values_[offset - lowest_]; }

private:
    int lowest_;
    std::vector<float> values_;
};

// Whether plain float arithmetic gives the kernel's terms along an axis of scale `scale` with unit
// n / 2: every offset scales exactly by one float product, and every scaled offset squares exactly, so
// that a fused multiply-add rounds as a product and a sum do. So it is for cubic voxels when n is a
// power of two; the loop then vectorizes.
bool plainArithmeticIsExact(double scale, int n, OffsetRange range) {
    const float unit = scaledOffset(1, scale, n);
    for (int offset = range.lowest; offset < range.end; ++offset) {
        const float scaled = scaledOffset(offset, scale, n);
        if (scaled != static_cast<float>(offset) * unit ||
            static_cast<double>(scaled) * scaled != static_cast<double>(scaled * scaled))
            return false;
    }
    return true;
}

// Row by row, the kernel's operations per voxel, with `scaled.x(offset)` (and y, z) its offset
// scaling and `squareAdd(d, s)` its fmaf(d, d, s).
template <class Scaled, class SquareAdd>
void energyTerms(const int* labels, const float* density, float* terms, const GridShape& g, const Scaled& scaled,
                 const SquareAdd& squareAdd) {
    const SiteLayout codes = g.codes;
    hostParallelFor(int64_t(g.y) * g.z, [&](int64_t row) {
        const int y = static_cast<int>(row % g.y), z = static_cast<int>(row / g.y);
        const size_t start = size_t(row) * g.x;
        for (int x = 0; x < g.x; ++x) {
            const int code = labels[start + x];
            const float dx = scaled.x(x - codes.x(code)), dy = scaled.y(y - codes.y(code)), dz = scaled.z(g.wholeZOf(z) - codes.z(code));
            float squared = dy * dy;
            squared = squareAdd(dx, squared);
            squared = squareAdd(dz, squared);
            terms[start + x] = density[start + x] * squared;
        }
    });
}

// An offset times one float factor.
struct PlainScaling {
    float unit;
    float operator()(int offset) const { return static_cast<float>(offset) * unit; }
};

template <class Scaling>
struct AxisScalings {
    Scaling x, y, z;
};

bool hostEnergyValue(dim3 grid, dim3 block, const int* labels, const float* density, float* terms, GridShape g,
                     AxisScales scales) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const int n = g.longestSide();
    const OffsetRange rx = offsetRange(0, g.x, g.codes.xBits), ry = offsetRange(0, g.y, g.codes.yBits),
                      rz = offsetRange(g.wholeZOf(0), g.wholeZOf(g.z), g.codes.zBits);
    if (plainArithmeticIsExact(scales.x, n, rx) && plainArithmeticIsExact(scales.y, n, ry) &&
        plainArithmeticIsExact(scales.z, n, rz)) {
        const AxisScalings<PlainScaling> scaled{{scaledOffset(1, scales.x, n)},
                                                {scaledOffset(1, scales.y, n)},
                                                {scaledOffset(1, scales.z, n)}};
        energyTerms(labels, density, terms, g, scaled, [](float d, float s) { return d * d + s; });
    } else {
        const AxisScalings<ScaledOffsets> scaled{ScaledOffsets(scales.x, n, rx), ScaledOffsets(scales.y, n, ry),
                                                 ScaledOffsets(scales.z, n, rz)};
        energyTerms(labels, density, terms, g, scaled, [](float d, float s) { return fmaf(d, d, s); });
    }
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelEnergyValue, hostEnergyValue);

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

namespace {

// What block `b` of a kernelReduce<reduceBlockSize> launch of `blocks` blocks writes: each thread's
// private sum over its strided pairs, then the shared-memory tree, every addition as the kernel
// orders its operands. Only element 0 of the tree reaches the result, and it depends only on the
// lanes below each step's stride, so the warp steps are the same halving as the block steps.
float blockSum(const float* input, unsigned count, unsigned b, unsigned blocks) {
    constexpr unsigned threads = reduceBlockSize;
    float sums[threads];
    std::fill_n(sums, threads, 0.0f);
    const uint64_t stride = uint64_t{2} * threads * blocks;
    for (uint64_t start = uint64_t{2} * threads * b; start < count; start += stride) {
        if (start + 2 * threads <= count) {
            for (unsigned t = 0; t < threads; ++t) sums[t] = sums[t] + (input[start + t] + input[start + threads + t]);
            continue;
        }
        for (unsigned t = 0; t < threads && start + t < count; ++t) {
            float pair = input[start + t];
            if (start + threads + t < count) pair = pair + input[start + threads + t];
            sums[t] = sums[t] + pair;
        }
    }
    for (unsigned s = threads / 2; s > 0; s /= 2)
        for (unsigned t = 0; t < s; ++t) sums[t] = sums[t] + sums[t + s];
    return sums[0];
}

// Declines what the simulation alone reproduces: a launch whose unsigned indices could wrap, and one
// of several blocks that writes where it reads (its blocks race, and the result is the simulation's
// order of blocks). A single block reads everything before it writes, as the kernel's barriers make it.
bool hostReduce(dim3 grid, dim3 block, const float* input, float* output, unsigned count) {
    if (!sameShape(block, dim3(reduceBlockSize)) || grid.y != 1 || grid.z != 1) return false;
    const uint64_t stride = uint64_t{2} * reduceBlockSize * grid.x;
    if (count + stride > UINT32_MAX) return false;
    const auto in = reinterpret_cast<uintptr_t>(input), out = reinterpret_cast<uintptr_t>(output);
    const bool overlapping = out < in + uint64_t{count} * sizeof(float) && in < out + uint64_t{grid.x} * sizeof(float);
    if (grid.x > 1 && count > 0 && overlapping) return false;
    hostParallelFor(grid.x, [&](int64_t b) { output[b] = blockSum(input, count, unsigned(b), grid.x); });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelReduce<reduceBlockSize>, hostReduce);

void launchReduce(const float* input, float* output, unsigned count, int blocks) {
    LAUNCH_KERNEL(kernelReduce<reduceBlockSize>, dim3(blocks), dim3(reduceBlockSize), 0, input, output, count);
}

int reduceBlocks(int count) { return static_cast<int>(std::ceil(count * (1.0 / reduceBlockSize))); }

namespace {

// One reduction pass over `count` values of `input`. A pass of several blocks never writes where it
// reads, since block b writes element b while another block may not have read it yet; a single
// block reads everything before it writes, so it may work in place.
float* reducePass(float* input, unsigned count, int blocks, float* partials) {
    float* output = (blocks > 1 && input == energyBuffer) ? partials : energyBuffer;
    launchReduce(input, output, count, blocks);
    return output;
}

void launchEnergyTerms(const AxisScales& scales) {
    LAUNCH_KERNEL(kernelEnergyValue, voxelGrid(gridSize), voxelBlock(), 0, currentSites,
                  densityLevels[levelIndex], energyBuffer, gridSize, scales);
}

// The labelling's partner buffer holds nothing needed until the centroid step rewrites it.
float* reductionScratch() { return reinterpret_cast<float*>(scratchSites); }

// The first pass over the energy terms: block b sums the 2 reduceBlockSize terms from 2 reduceBlockSize
// b on, so that the partial sums are those of fixed runs of voxels, whatever the grid.
float* firstPass() {
    const int count = int(gridSize.voxels());
    return reducePass(energyBuffer, count, reduceBlocks(count), reductionScratch());
}

// The passes after the first, from `count` partial sums in `values` down to one; returns it scaled
// by 8^levelIndex, with the raw sum in energyReadback.
float finishEnergy(float* values, int count) {
    while (count > static_cast<int>(reduceBlockSize)) {
        const int blocks = reduceBlocks(count);
        values = reducePass(values, count, blocks, reductionScratch());
        count = blocks;
    }
    if (count > 1) values = reducePass(values, count, 1, reductionScratch());
    checkCuda(cudaMemcpy(&energyReadback, values, sizeof(float), cudaMemcpyDeviceToHost), "reading back the energy");
    return powf(8.0f, static_cast<float>(levelIndex)) * energyReadback;
}

}  // namespace

float evaluateEnergy(const AxisScales& scales) {
    launchEnergyTerms(scales);
    return finishEnergy(firstPass(), reduceBlocks(int(gridSize.voxels())));
}

std::vector<float> slabEnergyRuns(const AxisScales& scales, int firstPlane, int planes) {
    launchEnergyTerms(scales);
    const float* runs = firstPass();
    const size_t runsPerPlane = size_t(gridSize.x) * gridSize.y / (2 * reduceBlockSize);
    std::vector<float> sums(runsPerPlane * planes);
    checkCuda(cudaMemcpy(sums.data(), runs + runsPerPlane * firstPlane, sums.size() * sizeof(float),
                         cudaMemcpyDeviceToHost),
              "reading back a slab's energy sums");
    return sums;
}

float energyOfRuns(const std::vector<float>& runs, int64_t wholeVoxels, float* deviceRuns) {
    const int count = reduceBlocks(int(wholeVoxels));
    std::vector<float> firstPassSums(size_t(count), 0.0f);  // the blocks beyond the voxels sum nothing
    std::copy(runs.begin(), runs.end(), firstPassSums.begin());
    checkCuda(cudaMemcpy(deviceRuns, firstPassSums.data(), firstPassSums.size() * sizeof(float), cudaMemcpyHostToDevice),
              "uploading the energy sums of every slab");
    return finishEnergy(deviceRuns, count);
}

CVT_END_NAMESPACE
