// Sites are named by their voxel coordinates packed into one integer, x highest, in the fields of the
// grid's SiteLayout (grid_shape.h): a 32-bit int on every grid whose fields fit 30 bits, a 64-bit one
// on a grid with a wide layout. Every negative value means "no site"; the canonical empty value is the
// most negative one (EMPTY_SITE for 32-bit codes). The functions below use the standard layout of 10
// bits per field (x in bits 20-29, y in bits 10-19, z in bits 0-9), which every grid with sides of at
// most 1024 has.
//
// The labelling, the region sums and the connected regions are written once for either width, as
// templates on the code type; withCodeType picks the one of a layout (layout.wide). Arrays of voxel indices beside
// codes take the codes' width: a grid with 32-bit codes has at most 2^30 voxels.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "../device/device.h"
#include "grid_shape.h"

CVT_BEGIN_NAMESPACE

using SiteCode = int32_t;
using WideSiteCode = int64_t;

constexpr SiteCode EMPTY_SITE = INT32_MIN;
constexpr int coordinateBits = standardFieldBits;
constexpr int coordinateMask = (1 << coordinateBits) - 1;

// The canonical "no site" of codes of type Code.
template <class Code>
constexpr Code emptySite = std::numeric_limits<Code>::min();

__host__ __device__ __forceinline__ SiteCode encodeSite(int x, int y, int z) { return (x << 20) | (y << 10) | z; }
__host__ __device__ __forceinline__ int siteX(SiteCode code) { return (code >> 20) & coordinateMask; }
__host__ __device__ __forceinline__ int siteY(SiteCode code) { return (code >> 10) & coordinateMask; }
__host__ __device__ __forceinline__ int siteZ(SiteCode code) { return code & coordinateMask; }

// A voxel index on a grid with codes of type Code, in kernels and in arrays beside codes: 32-bit on a
// grid with 32-bit codes, so that its kernels keep 32-bit address arithmetic.
template <class Code>
using CodeIndex = Code;

// Code again, in a parameter whose type the other arguments of a call decide (so that a null pointer
// can be passed there).
template <class Code>
using CodeOf = typename std::remove_const<Code>::type;

// Calls body(Code{}) with Code the code type of a layout: SiteCode, or WideSiteCode where it is `wide`.
template <class Body>
decltype(auto) withCodeType(bool wide, Body&& body) {
    if (wide) return body(WideSiteCode{});
    return body(SiteCode{});
}

// The buffer set's site volumes (and the arrays of codes beside them) are declared as int; on a grid
// with a wide layout every voxel takes two of them, as one 64-bit code.
template <class Code, class Word>
__host__ __device__ __forceinline__ Code* codesIn(Word* volume) {
    return reinterpret_cast<Code*>(volume);
}
template <class Code, class Word>
__host__ __device__ __forceinline__ const Code* codesIn(const Word* volume) {
    return reinterpret_cast<const Code*>(volume);
}

CVT_END_NAMESPACE
