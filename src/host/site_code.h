// Sites are named by their voxel coordinates packed into one int, x highest, in the fields of the
// grid's SiteLayout (grid_shape.h). Every negative value means "no site"; the canonical empty value is
// EMPTY_SITE. The functions below use the standard layout of 10 bits per field (x in bits 20-29, y in
// bits 10-19, z in bits 0-9), which every grid with sides of at most 1024 has.
#pragma once

#include <cstdint>

#include "../device/device.h"
#include "grid_shape.h"

CVT_BEGIN_NAMESPACE

using SiteCode = int32_t;

constexpr SiteCode EMPTY_SITE = INT32_MIN;
constexpr int coordinateBits = standardFieldBits;
constexpr int coordinateMask = (1 << coordinateBits) - 1;

__host__ __device__ __forceinline__ SiteCode encodeSite(int x, int y, int z) { return (x << 20) | (y << 10) | z; }
__host__ __device__ __forceinline__ int siteX(SiteCode code) { return (code >> 20) & coordinateMask; }
__host__ __device__ __forceinline__ int siteY(SiteCode code) { return (code >> 10) & coordinateMask; }
__host__ __device__ __forceinline__ int siteZ(SiteCode code) { return code & coordinateMask; }

CVT_END_NAMESPACE
