// Where a site goes along one axis when it moves by the relaxation factor towards its region's
// centroid: the arithmetic that every move of a site shares, on the device and on the host.
#pragma once

#include <climits>
#include <math.h>

#include "../device/qualifiers.h"

namespace cvt {

// Truncation toward zero with values beyond the int range saturating, as the device's conversion
// does; a plain cast would be undefined there on the host. Never called with a NaN.
__host__ __device__ inline int truncateSaturating(double value) {
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= -2147483649.0) return INT_MIN;
    return int(value);
}

// p + omega * offset, `offset` the centroid's offset from p, in double with one rounding for the
// multiply-add, rounded half up to a voxel and clamped into 0 .. limit - 1. An axis whose result is not
// a number (an infinite centroid times omega = 0, or a NaN density) keeps its coordinate rather than
// landing on whatever NaN would convert to.
__host__ __device__ inline int movedCoordinateByOffset(double offset, int p, float omega, int limit) {
    double moved = fma(double(omega), offset, double(p));
    moved = moved + 0.5;
    if (moved != moved) return p;
    int q = truncateSaturating(moved);
    q = q < limit - 1 ? q : limit - 1;
    q = q > 0 ? q : 0;
    return q;
}

// The same with the centroid's coordinate itself, as a float.
__host__ __device__ inline int movedCoordinate(float centroid, int p, float omega, int limit) {
    return movedCoordinateByOffset(double(centroid) - double(p), p, omega, limit);
}

}  // namespace cvt
