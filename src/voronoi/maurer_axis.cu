#include <cstdint>

#include "chain_entry.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// Whether b (row rb) is nowhere on line (i, j) at least as near as both a (row ra) and c (row rc),
// ra < rb < rc. a and b are equally far from the line position P / (2 (rb - ra)), b and c from
// Q / (2 (rc - rb)); b is nearest between the two, so it is hidden exactly when the first lies beyond
// the second. Cross-multiplying by the positive row differences avoids division; the products exceed
// 32 bits on large grids, so everything is done in 64 bits. A single-point interval keeps b.
__device__ __forceinline__ bool hiddenBetween(int a, int ra, int b, int rb, int c, int rc, int i, int j) {
    const int64_t ax = siteX(a), az = siteZ(a), bx = siteX(b), bz = siteZ(b), cx = siteX(c), cz = siteZ(c);
    const int64_t p = int64_t(ra + rb) * (rb - ra) + (ax + bx - 2 * i) * (bx - ax) + (az + bz - 2 * j) * (bz - az);
    const int64_t q = int64_t(rb + rc) * (rc - rb) + (cx + bx - 2 * i) * (cx - bx) + (cz + bz - 2 * j) * (cz - bz);
    return p * (rc - rb) > q * (rb - ra);
}

}  // namespace

// Maurer's stack construction along the rows of one line. The stack lives in the destination itself
// as the downward-linked chain; only the top entry and the one below it are kept in registers, deeper
// entries are read back while popping. Popped entries are not erased, just no longer linked.
__global__ void kernelMaurerAxis(const int* source, int* destination, int n) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    const int j = blockIdx.y * blockDim.y + threadIdx.y;
    const int line = i + n * n * j;

    int top = CHAIN_END;  // an unlinked value: the removal test needs two entries
    int topRow = 0;
    int belowTop = 0;
    bool nonEmpty = false;
    for (int k = 0; k < n; ++k) {
        const int candidate = source[line + n * k];
        if (candidate < 0) continue;
        while (chainLinked(top)) {
            const int belowRow = chainLink(top);
            if (!hiddenBetween(belowTop, belowRow, top, topRow, candidate, k, i, j)) break;
            top = belowTop;
            topRow = belowRow;
            if (chainLinked(top)) belowTop = destination[line + n * chainLink(top)];
        }
        const int entry = chainEntry(candidate, nonEmpty, topRow);
        destination[line + n * k] = entry;
        belowTop = top;
        top = entry;
        topRow = k;
        nonEmpty = true;
    }
    if (source[line + n * (n - 1)] < 0) destination[line + n * (n - 1)] = chainEndMarker(nonEmpty, topRow);
}

CVT_END_NAMESPACE
