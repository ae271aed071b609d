// The move of one site from its region's sums: what the centroid step does at every site voxel, and
// what a run split into slabs does on the host with the sums of every rank added up.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "moment_sums.h"
#include "moved_coordinate.h"

CVT_BEGIN_NAMESPACE

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
