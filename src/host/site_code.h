// Sites are named by their voxel coordinates packed into one int: x in bits 20-29, y in bits 10-19,
// z in bits 0-9. Every negative value means "no site"; the canonical empty value is EMPTY_SITE.
#pragma once

#include <cstdint>

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

using SiteCode = int32_t;

constexpr SiteCode EMPTY_SITE = INT32_MIN;
constexpr int coordinateBits = 10;
constexpr int coordinateMask = (1 << coordinateBits) - 1;

__host__ __device__ __forceinline__ SiteCode encodeSite(int x, int y, int z) { return (x << 20) | (y << 10) | z; }
__host__ __device__ __forceinline__ int siteX(SiteCode code) { return (code >> 20) & coordinateMask; }
__host__ __device__ __forceinline__ int siteY(SiteCode code) { return (code >> 10) & coordinateMask; }
__host__ __device__ __forceinline__ int siteZ(SiteCode code) { return code & coordinateMask; }

CVT_END_NAMESPACE
