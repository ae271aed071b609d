// The exact region sums of the sites as numbers (see region_sums.h for how the device adds them up):
// their types, and what the host makes of them: where each site moves, and the energy of the labelling
// they were summed over. Plain data and host code, shared by the backends.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/qualifiers.h"
#include "../host/axis_spacing.h"
#include "../host/grid_shape.h"

namespace cvt {

__extension__ typedef unsigned __int128 UInt128;
__extension__ typedef __int128 Int128;

constexpr double densityWeightScale = 4294967296.0;  // 2^32: a density of 1 weighs this much

// A voxel's weight: its density in [0, 1] on the fixed-point scale, rounded half up (exact in double).
// Converted through a signed integer, which holds every weight and which a CPU converts to at once.
__host__ __device__ __forceinline__ unsigned long long densityWeight(float density) {
    return static_cast<unsigned long long>(static_cast<long long>(double(density) * densityWeightScale + 0.5));
}

// A 128-bit two's-complement sum held in two words, so that the device can add to it with one 64-bit
// atomic per word, carrying out of the low word into the high one. Integers wrap alike in any order.
struct WideSum {
    unsigned long long low = 0, high = 0;

    __host__ __device__ UInt128 value() const { return (UInt128(high) << 64) | low; }
    __host__ __device__ void add(UInt128 term) {
        const unsigned long long before = low;
        low += static_cast<unsigned long long>(term);
        high += static_cast<unsigned long long>(term >> 64) + (low < before ? 1 : 0);
    }
};

// The sums of one site's region about its site, in this order: the weight, the first moments and the
// squared offsets, each axis in voxels.
constexpr int siteSumCount = 7;
enum SiteSum { sumMass, sumX, sumY, sumZ, sumXX, sumYY, sumZZ };
struct SiteSums {
    WideSum values[siteSumCount];
};

// The squared offsets summed over every region, axis by axis: what the energy of a labelling needs.
struct SquaredOffsets {
    UInt128 xx = 0, yy = 0, zz = 0;
};

// The moved site of `code` (of `layout`): p + omega * (centroid - p) on every axis, rounded half up and
// clamped into `limit`, the centroid taken from the region's sums exactly up to one division per axis.
// A region without mass has no centroid: its site stays.
int64_t movedSite(int64_t code, const SiteSums& sums, float omega, GridBox limit, const SiteLayout& layout);

// The energy that the run's decisions use, on the scale of the full grid: on pyramid level `level`
// (whose longest side is `longestSide`), 8^level times the sum of density times squared distance, each
// offset scaled by its axis's `scales` and by 2 / longestSide.
float scheduleEnergy(const SquaredOffsets& sums, const AxisScales& scales, int longestSide, int level);

// The same sum with the labelling's own integer weights, exactly: what the labelling minimises, so
// that two labellings' energies compare without rounding.
UInt128 weightedEnergy(const SquaredOffsets& sums, const AxisWeights& weights);

}  // namespace cvt
