// How the moment volumes accumulate the region sums, as a type the centroid kernels take as a
// template parameter.
//
// float: the program's own. Float atomics have no fixed order, so the last bits of a sum, and now
// and then a site's rounded position, vary from run to run.
//
// FixedMoment: unsigned 64-bit fixed point with 24 fraction bits. Integer additions are associative,
// so every sum, and with it the whole run, comes out the same in any order: on every run, every
// number of host threads, and on a GPU and the simulation alike. Each product coordinate * density
// is exact in double (24 by 10 significant bits) and rounded once to the nearest fixed-point value.
// The bound: with a density of at most 1 and coordinates below 1024, a product is below 1024 * 2^24
// = 2^34, and a sum over at most 1024^3 = 2^30 voxels below 2^64, so no sum can wrap on any grid the
// program accepts. The density must therefore lie in [0, 1].
#pragma once

#include <math.h>

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

using FixedMoment = unsigned long long;
constexpr double fixedMomentScale = 16777216.0;  // 2^24

// The bound above: the largest product, on every voxel of the largest grid, still fits.
static_assert(1023.0 * fixedMomentScale * (1024.0 * 1024.0 * 1024.0) < 18446744073709551616.0,
              "a fixed-point moment sum could wrap");

template <class Moment>
struct MomentArithmetic;

template <>
struct MomentArithmetic<float> {
    __host__ __device__ static float product(float coordinate, float rho) { return coordinate * rho; }
    __host__ __device__ static float value(float sum) { return sum; }
};

template <>
struct MomentArithmetic<FixedMoment> {
    __host__ __device__ static FixedMoment product(float coordinate, float rho) {
        return FixedMoment(nearbyint(double(coordinate) * double(rho) * fixedMomentScale));
    }
    __host__ __device__ static float value(FixedMoment sum) { return float(double(sum) / fixedMomentScale); }
};

CVT_END_NAMESPACE
