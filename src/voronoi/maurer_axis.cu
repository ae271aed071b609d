#include <cstdint>
#include <vector>

#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "chain_entry.h"
#include "plane_prefetch.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

// Whether b (row rb) is nowhere on line (i, j) at least as near as both a (row ra) and c (row rc),
// ra < rb < rc. a and b are equally far from the line position P / (2 w.row (rb - ra)), b and c from
// Q / (2 w.row (rc - rb)); b is nearest between the two, so it is hidden exactly when the first lies
// beyond the second. Cross-multiplying by the positive row differences avoids division, and the common
// factor 2 w.row drops out. Every term of P is a weight times a difference of two squares below S^2
// (S the longest side), so |P| < (w.first + w.row + w.third) S^2 and the products stay below
// (w.first + w.row + w.third) S^3, which the weights keep below 2^62 (axis_spacing.h). A single-point
// interval keeps b.
__device__ __forceinline__ bool hiddenBetween(int a, int ra, int b, int rb, int c, int rc, int i, int j,
                                              LineWeights w, SiteLayout frame) {
    const int64_t ax = frame.x(a), az = frame.z(a), bx = frame.x(b), bz = frame.z(b), cx = frame.x(c), cz = frame.z(c);
    const int64_t p = w.row * (int64_t(ra + rb) * (rb - ra)) + w.first * ((ax + bx - 2 * i) * (bx - ax)) +
                      w.third * ((az + bz - 2 * j) * (bz - az));
    const int64_t q = w.row * (int64_t(rb + rc) * (rc - rb)) + w.first * ((cx + bx - 2 * i) * (cx - bx)) +
                      w.third * ((cz + bz - 2 * j) * (cz - bz));
    return p * (rc - rb) > q * (rb - ra);
}

}  // namespace

// Maurer's stack construction along the rows of one line. The stack lives in the destination itself
// as the downward-linked chain; only the top entry and the one below it are kept in registers, deeper
// entries are read back while popping. Popped entries are not erased, just no longer linked.
__global__ void kernelMaurerAxis(const int* source, int* destination, GridShape g, LineWeights weights) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    const int j = blockIdx.y * blockDim.y + threadIdx.y;
    const int line = g.index(i, 0, j);
    const int n = g.y;  // rows of a line, g.x integers apart

    int top = CHAIN_END;  // an unlinked value: the removal test needs two entries
    int topRow = 0;
    int belowTop = 0;
    bool nonEmpty = false;
    for (int k = 0; k < n; ++k) {
        const int candidate = source[line + g.x * k];
        if (candidate < 0) continue;
        while (chainLinked(top)) {
            const int belowRow = chainLink(top, g.codes);
            if (!hiddenBetween(belowTop, belowRow, top, topRow, candidate, k, i, g.wholeZOf(j), weights, g.codes))
                break;
            top = belowTop;
            topRow = belowRow;
            if (chainLinked(top)) belowTop = destination[line + g.x * chainLink(top, g.codes)];
        }
        const int entry = chainEntry(candidate, nonEmpty, topRow, g.codes);
        destination[line + g.x * k] = entry;
        belowTop = top;
        top = entry;
        topRow = k;
        nonEmpty = true;
    }
    if (source[line + g.x * (n - 1)] < 0) destination[line + g.x * (n - 1)] = chainEndMarker(nonEmpty, topRow, g.codes);
}

namespace {

// Lines constructed together. A row of the plane holds their candidates in one 64-byte cache line, so
// the plane is copied in and out row by row, a whole cache line at a time. Line by line, each candidate
// would cost a cache line of its own, X integers from the last: at sides that are multiples of 256 the
// rows of a line fall into a few cache sets and evict each other before the next line comes to them.
constexpr int groupLines = 16;

// The work arrays of one thread. Lines lie `stride` integers apart in `sources` and `chains`, a little
// more than a line, so that the copies between the plane and the arrays spread over the cache sets.
struct LineGroup {
    explicit LineGroup(int n)  // n: rows of a line
        : stride(n + groupLines), sources(size_t(stride) * groupLines), chains(sources.size()), codes(n), rows(n),
          stackRows(n), stackSums(n) {}
    int stride;
    std::vector<int> sources, chains, codes, rows, stackRows;
    std::vector<int64_t> stackSums;
};

// The kernel's construction of line (i, j), its n candidates contiguous in `candidates`, into `chain`,
// which holds what the destination held (rows without a candidate keep it). The candidates are
// gathered first, a load per row with no branch in between (the removal test is as good as random,
// and each misprediction would hold up the loads), and the stack is kept in arrays instead of being
// read back from the chain. Each entry carries w.row row^2 + its weighted squared distance to the
// line: hiddenBetween's P and Q are exactly the differences of those sums between neighbours, so the
// removal test is the same comparison of the same integers.
void constructLine(const int* candidates, int* chain, int n, int i, int j, LineWeights w, SiteLayout frame,
                   LineGroup& work) {
    int* codes = work.codes.data();
    int* rows = work.rows.data();
    int* stackRows = work.stackRows.data();
    int64_t* stackSums = work.stackSums.data();
    int count = 0;
    for (int k = 0; k < n; ++k) {
        codes[count] = candidates[k];
        rows[count] = k;
        count += codes[count] >= 0;
    }
    // The top two entries live in registers, as in the kernel; deeper ones in the arrays, entry e at e.
    int depth = 0;
    int64_t topSum = 0, belowSum = 0;
    int topRow = 0, belowRow = 0;
    for (int m = 0; m < count; ++m) {
        const int candidate = codes[m], k = rows[m];
        const int64_t dx = frame.x(candidate) - i, dz = frame.z(candidate) - j;
        const int64_t sum = w.row * (int64_t(k) * k) + w.first * (dx * dx) + w.third * (dz * dz);
        while (depth >= 2 && (topSum - belowSum) * (k - topRow) > (sum - topSum) * (topRow - belowRow)) {
            topSum = belowSum;
            topRow = belowRow;
            --depth;
            if (depth >= 2) {
                belowSum = stackSums[depth - 2];
                belowRow = stackRows[depth - 2];
            }
        }
        chain[k] = chainEntry(candidate, depth > 0, depth > 0 ? topRow : 0, frame);
        if (depth >= 2) {
            stackSums[depth - 2] = belowSum;
            stackRows[depth - 2] = belowRow;
        }
        belowSum = topSum;
        belowRow = topRow;
        topSum = sum;
        topRow = k;
        ++depth;
    }
    if (candidates[n - 1] < 0) chain[n - 1] = chainEndMarker(depth > 0, depth > 0 ? topRow : 0, frame);
}

// Plane by plane, groupLines lines at a time: the group's rows are copied out of the source and the
// destination into lines, constructed there, and copied back, destination rows without a candidate
// unchanged.
bool hostMaurerAxis(dim3 grid, dim3 block, const int* source, int* destination, GridShape g, LineWeights w) {
    if (!isLineLaunch(grid, block, g)) return false;
    const size_t plane = size_t(g.x) * g.y, row = size_t(g.x);
    const int n = g.y;
    hostParallelFor(g.z, [=](int64_t j) {
        LineGroup work(n);
        const size_t stride = size_t(work.stride);
        prefetchIntegers(source + plane * j, plane);
        prefetchIntegers(destination + plane * j, plane);
        for (int first = 0; first < g.x; first += groupLines) {
            const int* planeSources = source + plane * j + first;
            int* planeChains = destination + plane * j + first;
            for (int k = 0; k < n; ++k)
                for (int l = 0; l < groupLines; ++l) {
                    work.sources[stride * l + k] = planeSources[row * k + l];
                    work.chains[stride * l + k] = planeChains[row * k + l];
                }
            for (int l = 0; l < groupLines; ++l)
                constructLine(work.sources.data() + stride * l, work.chains.data() + stride * l, n, first + l,
                              g.wholeZOf(int(j)), w, g.codes, work);
            for (int k = 0; k < n; ++k)
                for (int l = 0; l < groupLines; ++l) planeChains[row * k + l] = work.chains[stride * l + k];
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelMaurerAxis, hostMaurerAxis);

CVT_END_NAMESPACE
