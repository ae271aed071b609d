// The move of one site from its region's sums: what the centroid step does at every site voxel, and
// what a run split into slabs does on the host with the sums of every rank added up.
#pragma once

#include <climits>
#include <math.h>

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "moment_sums.h"

CVT_BEGIN_NAMESPACE

// Truncation toward zero with values beyond the int range saturating, as the device's conversion
// does; a plain cast would be undefined there on the host. Never called with a NaN.
__host__ __device__ inline int truncateSaturating(double value) {
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= -2147483649.0) return INT_MIN;
    return int(value);
}

// p + omega * (g - p) in double with one rounding for the multiply-add, rounded half up to a voxel and
// clamped into 0 .. limit - 1. An axis whose result is not a number (an infinite centroid times omega = 0,
// or a NaN density) keeps its coordinate rather than landing on whatever NaN would convert to.
__host__ __device__ inline int movedCoordinate(float centroid, int p, float omega, int limit) {
    const double offset = double(centroid) - double(p);
    double moved = fma(double(omega), offset, double(p));
    moved = moved + 0.5;
    if (moved != moved) return p;
    int q = truncateSaturating(moved);
    q = q < limit - 1 ? q : limit - 1;
    q = q > 0 ? q : 0;
    return q;
}

// A region's four sums: x-, y- and z-moment and mass.
template <class Moment>
struct RegionSums {
    Moment x, y, z, mass;
};

// Moves the site at (qx, qy, qz) to p + omega * (centroid - p), each coordinate as movedCoordinate
// says, into the box `limit`; a region without mass has no centroid and leaves the site where it is.
template <class Moment>
__host__ __device__ inline void moveTowardsCentroid(const RegionSums<Moment>& sums, float omega, GridBox limit,
                                                    int& qx, int& qy, int& qz) {
    using Arithmetic = MomentArithmetic<Moment>;
    const float regionMass = Arithmetic::value(sums.mass);
    if (regionMass == 0.0f) return;
    qx = movedCoordinate(Arithmetic::value(sums.x) / regionMass, qx, omega, limit.x);
    qy = movedCoordinate(Arithmetic::value(sums.y) / regionMass, qy, omega, limit.y);
    qz = movedCoordinate(Arithmetic::value(sums.z) / regionMass, qz, omega, limit.z);
}

CVT_END_NAMESPACE
