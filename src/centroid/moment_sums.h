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
// The bound: with a density of at most 1, a sum of x over a whole grid is (X - 1) / 2 per voxel;
// grid_shape.h refuses every grid on which that, times 2^24, could reach 2^64 (momentSumsFit), so no
// sum can wrap on any grid the program accepts. The density must therefore lie in [0, 1].
#pragma once

#include <math.h>

#include "../device/device.h"
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

using FixedMoment = unsigned long long;


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
