#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "chain_entry.h"
#include "plane_prefetch.h"
#include "voronoi.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int tileEdge = 32;  // rows per tile, and lines per block; the tile's row stride

// Exact weighted squared distance from voxel (i, y, j) of the line to the chain entry at row `row`.
template <class Code>
__host__ __device__ __forceinline__ int64_t squaredDistance(Code entry, int row, int i, int y, int j, LineWeights w,
                                                            SiteLayout frame) {
    const int64_t dx = frame.x(entry) - i, dy = row - y, dz = frame.z(entry) - j;
    return w.first * (dx * dx) + w.row * (dy * dy) + w.third * (dz * dz);
}

// The label for a voxel won by `entry` at `row`: the row becomes the first field and the entry's first
// field the second, so the output is a site code in the frame with the first two axes exchanged. An
// empty line's end marker (emptySite at row 0) stays emptySite.
template <class Code>
__host__ __device__ __forceinline__ Code exchangedCode(Code entry, int row, SiteLayout frame) {
    return (entry & chainEndBit<Code>) | frame.exchanged().encode<Code>(row, frame.x(entry), frame.z(entry));
}

}  // namespace

// Walks each line's chain from the top down while the rows are visited from the top down. Along the
// chain the distances to a fixed row fall to their minimum and then rise, so the walk stops at the
// first strict rise and moves on at equal distance (ties go to the lower row); the entry found for a
// row is a valid start for every row below, so the walk never restarts. Results go through a shared
// 32 x 32 tile so that the transposed output is written 32 consecutive codes at a time. The source
// has the frame of g (lines (x, z), rows along y); the destination that of g.exchanged(), whose
// voxel (y, x, z) lies at y + Y (x + X z).
template <class Code>
__global__ void kernelColorAxis(const Code* source, Code* destination, GridShape g, LineWeights weights) {
    __shared__ Code block[tileEdge * tileEdge];
    const int lineOffset = threadIdx.x;
    const int i = blockIdx.x * tileEdge + lineOffset;
    const int j = blockIdx.y;
    const CodeIndex<Code> line = CodeIndex<Code>(g.index(i, 0, j));
    const CodeIndex<Code> row = g.x;  // the distance between the rows of a line
    const int n = g.y;                // rows of a line

    const int wholeJ = g.wholeZOf(j);  // the plane's z in distances
    Code current = source[line + row * (n - 1)];
    int currentRow = n - 1;
    if (current < 0) {
        currentRow = chainLink(current, g.codes);
        if (chainLinked(current)) current = source[line + row * currentRow];
    }
    Code next = 0;
    int nextRow = 0;
    if (chainLinked(current)) {
        nextRow = chainLink(current, g.codes);
        next = source[line + row * nextRow];
    }

    const int tiles = n / blockDim.x;
    for (int t = 0; t < tiles; ++t) {
        const int low = n - tileEdge * (t + 1);
        for (int y = n - 1 - int(threadIdx.y) - tileEdge * t; y >= low; y -= blockDim.y) {
            int64_t currentDistance = squaredDistance(current, currentRow, i, y, wholeJ, weights, g.codes);
            while (chainLinked(current)) {
                const int64_t nextDistance = squaredDistance(next, nextRow, i, y, wholeJ, weights, g.codes);
                if (nextDistance > currentDistance) break;
                current = next;
                currentRow = nextRow;
                currentDistance = nextDistance;
                if (chainLinked(current)) {
                    nextRow = chainLink(current, g.codes);
                    next = source[line + row * nextRow];
                }
            }
            block[lineOffset * tileEdge + (y - low)] = exchangedCode(current, currentRow, g.codes);
        }
        __syncthreads();
        if (threadIdx.y == 0) {
            // Step s writes row 32 bx + s of the destination: lines become rows and rows columns.
            for (int s = 0; s < tileEdge; ++s)
                destination[(low + lineOffset) + CodeIndex<Code>(n) * (blockIdx.x * tileEdge + s) +
                            CodeIndex<Code>(n) * g.x * j] = block[s * tileEdge + lineOffset];
        }
        __syncthreads();
    }
}

template __global__ void kernelColorAxis<SiteCode>(const SiteCode*, SiteCode*, GridShape, LineWeights);
template __global__ void kernelColorAxis<WideSiteCode>(const WideSiteCode*, WideSiteCode*, GridShape, LineWeights);

namespace {

// The chain of one line, entries from the top down, with their rows, and where each entry's rows end
// below; and the line's labels. The work arrays of one host thread.
template <class Code>
struct LineChain {
    explicit LineChain(int n) : rows(n), entries(n), lowest(n), labels(size_t(n) + 3) {}
    std::vector<int> rows;
    std::vector<Code> entries;
    std::vector<int64_t> lowest;
    std::vector<Code> labels;  // three more, for stores of four labels at a time
};

// Collects the chain of the line at `chain` (its row 0, rows `row` integers apart), n rows, into
// `line`, from the row-(n - 1) head down; returns how many entries it has, 0 for an empty line. A
// link that does not lead down the line (a chain of the construction pass has none) ends the walk.
template <class Code>
int collectChain(const Code* chain, size_t row, int n, SiteLayout frame, LineChain<Code>& line) {
    Code current = chain[row * (n - 1)];
    int currentRow = n - 1;
    if (current < 0) {
        if (!chainLinked(current)) return 0;
        currentRow = chainLink(current, frame);
        current = chain[row * currentRow];
    }
    int count = 0;
    for (;;) {
        line.rows[count] = currentRow;
        line.entries[count] = current;
        ++count;
        const int nextRow = chainLink(current, frame);
        if (!chainLinked(current) || nextRow >= currentRow) return count;
        currentRow = nextRow;
        current = chain[row * currentRow];
    }
}

// The labels of the line at x = i of `chain` (its row 0, rows g.x apart; its plane at z = j of the
// whole grid) into labels[0..g.y). The kernel's two threads per line walk alternate rows with separate
// states from the top row down, which gives the labels of a single walk: on a chain of the construction
// pass the entries' distances to a row fall strictly, then stay equal, then rise strictly, and the
// plateau's last entry, where every walk stops, moves down the chain as the row does. So each entry a
// keeps, of the rows that the entries above it leave, those where the entry b after it is strictly
// farther: b's distance minus a's is linear in the row and rises by 2 w.row (row a - row b) per row,
// so those rows are the ones from a bound on, which depends on a and b alone. The bounds are computed
// first, each on its own (the divisions do not wait for one another), and the rows then dealt out
// from the top down. The runs are stored from the bottom up, four labels at a time into the line's
// array; a store that reaches into the rows of the run above is overwritten when that run is stored.
template <class Code>
void labelLine(const Code* chain, const GridShape& g, int i, int j, LineWeights weights, Code* labels,
               LineChain<Code>& line) {
    const int n = g.y;
    const SiteLayout frame = g.codes;
    const int count = collectChain(chain, size_t(g.x), n, frame, line);
    if (count == 0) {
        const Code head = chain[size_t(g.x) * (n - 1)];
        std::fill(labels, labels + n, exchangedCode(head, chainLink(head, frame), frame));
        return;
    }
    for (int e = 0; e + 1 < count; ++e) {
        const Code a = line.entries[e], b = line.entries[e + 1];
        const int64_t rowA = line.rows[e], rowB = line.rows[e + 1];
        // b's distance minus a's at row y is difference + rise * y: strictly positive from the bound on.
        const int64_t rise = 2 * weights.row * (rowA - rowB);
        const int64_t dxA = frame.x(a) - i, dzA = frame.z(a) - j, dxB = frame.x(b) - i, dzB = frame.z(b) - j;
        const int64_t difference = weights.first * (dxB * dxB - dxA * dxA) + weights.third * (dzB * dzB - dzA * dzA) +
                                   weights.row * (rowB * rowB - rowA * rowA);
        // The bound is floor(-difference / rise) + 1; C++ division rounds towards zero.
        const int64_t quotient = -difference / rise;
        line.lowest[e] = quotient - ((-difference % rise != 0) & (difference > 0)) + 1;
    }
    line.lowest[count - 1] = 0;
    int top = n - 1;  // the highest row not dealt out yet
    int kept = 0;     // entries that keep rows, moved to the front
    for (int e = 0; e < count && top >= 0; ++e) {
        const int64_t lowest = std::max<int64_t>(line.lowest[e], 0);
        if (lowest > top) continue;
        line.lowest[kept] = lowest;
        line.entries[kept] = exchangedCode(line.entries[e], line.rows[e], frame);
        line.rows[kept] = top;  // now the run's highest row
        ++kept;
        top = int(lowest) - 1;
    }
    Code* const runs = line.labels.data();
    for (int e = kept - 1; e >= 0; --e) {
        const Code label = line.entries[e];
        const Code four[4] = {label, label, label, label};
        for (int y = int(line.lowest[e]); y <= line.rows[e]; y += 4) std::memcpy(runs + y, four, sizeof four);
    }
    std::copy_n(runs, n, labels);
}

// Line by line, after asking the cache for the lines' plane, and asking it for the part of the lines
// of the next 64 bytes line by line: the walks follow links from row to row, X codes apart. A line's labels form one
// row of the destination, so they are written contiguously.
template <class Code>
bool hostColorAxis(dim3 grid, dim3 block, const Code* source, Code* destination, GridShape g, LineWeights weights) {
    if (!isQueryLaunch(grid, block, g)) return false;
    const size_t plane = size_t(g.x) * g.y, row = size_t(g.x);
    const int n = g.y;
    // Lines whose codes share a 64-byte line of a row.
    constexpr int strideLines = 64 / int(sizeof(Code));
    hostParallelFor(g.z, [&](int64_t j) {
        LineChain<Code> line(n);
        const Code* planeChains = source + plane * j;
        prefetchValues(planeChains, plane);
        for (int i = 0; i < g.x; ++i) {
            // The next lines of a 64-byte line lie in the next 64 bytes of every row: a share of the rows
            // per line.
            const int strip = (i / strideLines + 1) * strideLines;
            if (strip < g.x)
                for (int r = (i % strideLines) * n / strideLines; r < (i % strideLines + 1) * n / strideLines; ++r)
                    __builtin_prefetch(planeChains + row * r + strip);
            labelLine(planeChains + i, g, i, g.wholeZOf(int(j)), weights, destination + plane * j + size_t(n) * i, line);
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelColorAxis<SiteCode>, hostColorAxis<SiteCode>);
CVT_HOST_FAST_PATH(kernelColorAxis<WideSiteCode>, hostColorAxis<WideSiteCode>);

CVT_END_NAMESPACE
