#include <cstdint>
#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
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
template <class Code>
__device__ __forceinline__ bool hiddenBetween(Code a, int ra, Code b, int rb, Code c, int rc, int i, int j,
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
template <class Code>
__global__ void kernelMaurerAxis(const Code* source, Code* destination, GridShape g, LineWeights weights) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    const int j = blockIdx.y * blockDim.y + threadIdx.y;
    const CodeIndex<Code> line = CodeIndex<Code>(g.index(i, 0, j));
    const CodeIndex<Code> row = g.x;  // the distance between the rows of a line
    const int n = g.y;                // rows of a line

    Code top = chainEndBit<Code>;  // an unlinked value: the removal test needs two entries
    int topRow = 0;
    Code belowTop = 0;
    bool nonEmpty = false;
    for (int k = 0; k < n; ++k) {
        const Code candidate = source[line + row * k];
        if (candidate < 0) continue;
        while (chainLinked(top)) {
            const int belowRow = chainLink(top, g.codes);
            if (!hiddenBetween(belowTop, belowRow, top, topRow, candidate, k, i, g.wholeZOf(j), weights, g.codes))
                break;
            top = belowTop;
            topRow = belowRow;
            if (chainLinked(top)) belowTop = destination[line + row * chainLink(top, g.codes)];
        }
        const Code entry = chainEntry(candidate, nonEmpty, topRow, g.codes);
        destination[line + row * k] = entry;
        belowTop = top;
        top = entry;
        topRow = k;
        nonEmpty = true;
    }
    if (source[line + row * (n - 1)] < 0)
        destination[line + row * (n - 1)] = chainEndMarker<Code>(nonEmpty, topRow, g.codes);
}

template __global__ void kernelMaurerAxis<SiteCode>(const SiteCode*, SiteCode*, GridShape, LineWeights);
template __global__ void kernelMaurerAxis<WideSiteCode>(const WideSiteCode*, WideSiteCode*, GridShape, LineWeights);

namespace {

// Lines constructed together. A row of the plane holds their candidates in one 64-byte cache line (two
// with 64-bit codes), so the plane is copied in and out row by row, whole cache lines at a time. Line by
// line, each candidate would cost a cache line of its own, X codes from the last: at sides that are multiples of 256 the
// rows of a line fall into a few cache sets and evict each other before the next line comes to them.
constexpr int groupLines = 16;

// Each stack entry carries w.row row^2 + its candidate's weighted squared distance to the line:
// hiddenBetween's P and Q are exactly the differences of those sums between neighbours, so the removal
// tests below are the kernel's comparisons of the same integers. The three terms are tabulated once
// per launch, by row and by the offsets along the first and third axes that a field of a code and a
// line can have.
class EntrySums {
public:
    EntrySums(int n, LineWeights w, SiteLayout frame)
        : rowTerms_(n), firstTerms_(termsOf(w.first, frame.xBits)), thirdTerms_(termsOf(w.third, frame.zBits)),
          xShift_(frame.yBits + frame.zBits), xMask_((1 << frame.xBits) - 1), zMask_((1 << frame.zBits) - 1),
          firstOffset_((1 << frame.xBits) - 1), thirdOffset_((1 << frame.zBits) - 1) {
        for (int k = 0; k < n; ++k) rowTerms_[k] = w.row * (int64_t(k) * k);
    }
    // Of `candidate` at row k of line (i, j): its fields as SiteLayout reads them.
    template <class Code>
    int64_t operator()(Code candidate, int k, int i, int j) const {
        return rowTerms_[k] + firstTerms_[int((candidate >> xShift_) & xMask_) - i + firstOffset_] +
               thirdTerms_[int(candidate & zMask_) - j + thirdOffset_];
    }

private:
    // weight * d^2 for every offset d between a field of `bits` bits and a line coordinate below 2^bits.
    static std::vector<int64_t> termsOf(int64_t weight, int bits) {
        std::vector<int64_t> terms(size_t(2) << bits);
        for (int64_t d = 1 - (int64_t(1) << bits); d < (int64_t(1) << bits); ++d)
            terms[size_t(d + (int64_t(1) << bits) - 1)] = weight * (d * d);
        return terms;
    }

    std::vector<int64_t> rowTerms_, firstTerms_, thirdTerms_;
    int xShift_, xMask_, zMask_, firstOffset_, thirdOffset_;
};

// The work arrays of one thread. Lines lie `stride` codes apart in `sources` and `chains`, a little
// more than a line, so that the copies between the plane and the arrays spread over the cache sets.
// `removals` holds, per row, how many entries the candidate of that row removed from the stack on the
// last line constructed where every row held a candidate.
template <class Code>
struct LineGroup {
    explicit LineGroup(int n)  // n: rows of a line
        : stride(n + groupLines), sources(size_t(stride) * groupLines), chains(sources.size()), codes(n), rows(n),
          sums(n), stackRows(n), stackSums(n), stack(2 * size_t(n + 2)), removals(n, 0) {}
    int stride;
    std::vector<Code> sources, chains, codes;
    std::vector<int> rows, stackRows;
    std::vector<int64_t> sums, stackSums, stack;
    std::vector<int> removals;
};

// The kernel's construction of line (i, j) where not every row holds a candidate: the `count`
// candidates of the line's n rows, gathered into work.codes and work.rows, into `chain`, which holds
// what the destination held (rows without a candidate keep it). The candidates were gathered with a
// load per row and no branch in between (the removal test is as good as random, and each
// misprediction would hold up the loads), and the stack is kept in arrays instead of being read back
// from the chain.
template <class Code>
void constructSparseLine(const Code* candidates, Code* chain, int n, int i, int j, const EntrySums& sums,
                         SiteLayout frame, LineGroup<Code>& work, int count) {
    const Code* codes = work.codes.data();
    const int* rows = work.rows.data();
    int* stackRows = work.stackRows.data();
    int64_t* stackSums = work.stackSums.data();
    // The top two entries live in registers, as in the kernel; deeper ones in the arrays, entry e at e.
    int depth = 0;
    int64_t topSum = 0, belowSum = 0;
    int topRow = 0, belowRow = 0;
    for (int m = 0; m < count; ++m) {
        const Code candidate = codes[m];
        const int k = rows[m];
        const int64_t sum = sums(candidate, k, i, j);
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
    if (candidates[n - 1] < 0) chain[n - 1] = chainEndMarker<Code>(depth > 0, depth > 0 ? topRow : 0, frame);
}

// The kernel's construction of line (i, j) where every row holds a candidate (the second round).
//
// The stack is a lower convex chain of the points (row, sum), and an entry goes exactly when it lies
// strictly above the segment from the entry below it to the new candidate. Along a convex chain those
// that go form a run from the top (if an entry stays, every entry below it stays), so how many go is
// settled by two comparisons, independent of each other: the last to go does, and the first to stay
// does not. The kernel's loop compares one entry after another instead, each comparison deciding
// whether to make the next, and how often it goes round is as good as random to a branch predictor.
// Neighbouring lines hold mostly the same candidates, and nine times in ten a candidate removes as
// many entries as the one of its row did on the line before (`removals`): that count is tried first,
// and only where the two comparisons refute it does the kernel's loop run. Every count that is kept
// has passed both comparisons, so the links are the kernel's whatever the guesses were.
//
// The stack lives in work.stack as pairs (sum, row), entry e at 2 e + 2, above a pair of zeros that
// the comparisons read, but do not use, while the stack holds a single entry; the pair above the top
// is read as well, also unused. The links go into `chain` first and become entries at the end.
template <class Code>
void constructDenseLine(const Code* candidates, Code* chain, int n, int i, int j, const EntrySums& sums,
                        SiteLayout frame, LineGroup<Code>& work) {
    int64_t* const entrySums = work.sums.data();
    for (int k = 0; k < n; ++k) entrySums[k] = sums(candidates[k], k, i, j);
    int64_t* const stack = work.stack.data() + 2;
    int* const removals = work.removals.data();
    stack[0] = entrySums[0];
    stack[1] = 0;
    int depth = 1;
    for (int k = 1; k < n; ++k) {
        const int64_t sum = entrySums[k];
        // The entries that stay if the guess is right: at least the bottom one, at most all.
        int left = depth - removals[k];
        left = left < 1 ? 1 : (left > depth ? depth : left);
        const int64_t* const last = stack + 2 * left;  // the last entry to go, if any goes
        const int64_t lastSum = last[0], lastRow = last[1], firstSum = last[-2], firstRow = last[-1];
        const int64_t belowSum = last[-4], belowRow = last[-3];
        const bool lastGoes =
            (left == depth) | ((lastSum - firstSum) * (k - lastRow) > (sum - lastSum) * (lastRow - firstRow));
        const bool firstStays =
            (left == 1) | ((firstSum - belowSum) * (k - firstRow) <= (sum - firstSum) * (firstRow - belowRow));
        int64_t link = firstRow;
        if (!(lastGoes & firstStays)) [[unlikely]] {
            left = depth;
            for (const int64_t* top = stack + 2 * (left - 1);
                 left >= 2 && (top[0] - top[-2]) * (k - top[1]) > (sum - top[0]) * (top[1] - top[-1]); top -= 2)
                --left;
            removals[k] = depth - left;
            link = stack[2 * left - 1];
        }
        chain[k] = Code(link);
        stack[2 * left] = sum;
        stack[2 * left + 1] = k;
        depth = left + 1;
    }
    chain[0] = chainEntry(candidates[0], false, 0, frame);
    for (int k = 1; k < n; ++k) chain[k] = chainEntry(candidates[k], true, int(chain[k]), frame);
}

// The kernel's construction of line (i, j), its n candidates contiguous in `candidates`, into `chain`,
// which holds what the destination held.
template <class Code>
void constructLine(const Code* candidates, Code* chain, int n, int i, int j, const EntrySums& sums, SiteLayout frame,
                   LineGroup<Code>& work) {
    Code anyEmpty = 0;
    for (int k = 0; k < n; ++k) anyEmpty |= candidates[k];
    if (anyEmpty >= 0) {
        constructDenseLine(candidates, chain, n, i, j, sums, frame, work);
        return;
    }
    Code* codes = work.codes.data();
    int* rows = work.rows.data();
    int count = 0;
    for (int k = 0; k < n; ++k) {
        codes[count] = candidates[k];
        rows[count] = k;
        count += codes[count] >= 0;
    }
    constructSparseLine(candidates, chain, n, i, j, sums, frame, work, count);
}

// Plane by plane, groupLines lines at a time: the group's rows are copied out of the source and the
// destination into lines, constructed there, and copied back, destination rows without a candidate
// unchanged.
template <class Code>
bool hostMaurerAxis(dim3 grid, dim3 block, const Code* source, Code* destination, GridShape g, LineWeights w) {
    if (!isLineLaunch(grid, block, g)) return false;
    const size_t plane = size_t(g.x) * g.y, row = size_t(g.x);
    const int n = g.y;
    const EntrySums sums(n, w, g.codes);
    hostParallelFor(g.z, [&](int64_t j) {
        LineGroup<Code> work(n);
        const size_t stride = size_t(work.stride);
        prefetchValues(source + plane * j, plane);
        prefetchValues(destination + plane * j, plane);
        for (int first = 0; first < g.x; first += groupLines) {
            const Code* planeSources = source + plane * j + first;
            Code* planeChains = destination + plane * j + first;
            for (int k = 0; k < n; ++k)
                for (int l = 0; l < groupLines; ++l) {
                    work.sources[stride * l + k] = planeSources[row * k + l];
                    work.chains[stride * l + k] = planeChains[row * k + l];
                }
            for (int l = 0; l < groupLines; ++l)
                constructLine(work.sources.data() + stride * l, work.chains.data() + stride * l, n, first + l,
                              g.wholeZOf(int(j)), sums, g.codes, work);
            for (int k = 0; k < n; ++k)
                for (int l = 0; l < groupLines; ++l) planeChains[row * k + l] = work.chains[stride * l + k];
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelMaurerAxis<SiteCode>, hostMaurerAxis<SiteCode>);
CVT_HOST_FAST_PATH(kernelMaurerAxis<WideSiteCode>, hostMaurerAxis<WideSiteCode>);

CVT_END_NAMESPACE
