#include "pieces.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <tuple>

namespace cvt::volume {
namespace {

// A maximal run of one label along x within a row.
struct Run {
    int start, end;  // [start, end)
    uint32_t label;
};

class DisjointSets {
public:
    explicit DisjointSets(size_t count) : parent_(count) { std::iota(parent_.begin(), parent_.end(), size_t(0)); }
    size_t root(size_t i) {
        while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
        return i;
    }
    // Whether a and b were in different sets.
    bool join(size_t a, size_t b) {
        a = root(a), b = root(b);
        if (a != b) parent_[a < b ? b : a] = a < b ? a : b;
        return a != b;
    }

private:
    std::vector<size_t> parent_;
};

// Calls touch(i, j) for every a[i], b[j] of one label that share an x: runs of one label that share an
// x in neighbouring rows touch through a face. Both lists are in x order, so one sweep finds them all.
template <class A, class B, class Touch>
void forEachTouch(const A* a, size_t aCount, const B* b, size_t bCount, Touch touch) {
    for (size_t i = 0, j = 0; i < aCount && j < bCount;) {
        if (a[i].start < b[j].end && b[j].start < a[i].end && a[i].label == b[j].label) touch(i, j);
        a[i].end < b[j].end ? ++i : ++j;
    }
}

}  // namespace

SlabPieces countSlabPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside) {
    // Voxels are joined run by run: runs along x are long, so there are far fewer runs than voxels.
    const size_t rows = size_t(box.y) * box.z;
    std::vector<Run> runs;
    std::vector<size_t> rowStart(rows + 1, 0);
    for (size_t row = 0; row < rows; ++row) {
        rowStart[row] = runs.size();
        const uint32_t* line = labels + row * box.x;
        for (int x = 0; x < box.x;) {
            const int start = x;
            while (x < box.x && line[x] == line[start]) ++x;
            if (!(zeroIsOutside && line[start] == 0)) runs.push_back(Run{start, x, line[start]});
        }
    }
    rowStart[rows] = runs.size();

    DisjointSets pieces(runs.size());
    const auto joinRows = [&](size_t row, size_t other) {
        forEachTouch(runs.data() + rowStart[row], rowStart[row + 1] - rowStart[row], runs.data() + rowStart[other],
                     rowStart[other + 1] - rowStart[other],
                     [&](size_t i, size_t j) { pieces.join(rowStart[row] + i, rowStart[other] + j); });
    };
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const size_t row = size_t(z) * box.y + y;
            if (y > 0) joinRows(row, row - 1);
            if (z > 0) joinRows(row, row - box.y);
        }

    SlabPieces slab{std::vector<uint32_t>(labelCount, 0), {}, {}};
    for (size_t i = 0; i < runs.size(); ++i)
        if (pieces.root(i) == i && runs[i].label < labelCount) ++slab.count[runs[i].label];

    // Ids only for the pieces on the outer planes, so that the merge needs nodes for those alone.
    constexpr uint32_t noId = UINT32_MAX;
    std::vector<uint32_t> idOfRoot(runs.size(), noId);
    uint32_t nextId = 0;
    const auto planeRuns = [&](int z) {
        std::vector<PlaneRun> plane;
        for (int y = 0; y < box.y; ++y) {
            const size_t row = size_t(z) * box.y + y;
            for (size_t i = rowStart[row]; i < rowStart[row + 1]; ++i) {
                uint32_t& id = idOfRoot[pieces.root(i)];
                if (id == noId) id = nextId++;
                plane.push_back(PlaneRun{runs[i].start + box.x * y, runs[i].end + box.x * y, runs[i].label, id});
            }
        }
        return plane;
    };
    if (box.z > 0) {
        slab.bottom = planeRuns(0);
        slab.top = planeRuns(box.z - 1);
    }
    return slab;
}

std::vector<uint32_t> countPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside) {
    return countSlabPieces(labels, box, labelCount, zeroIsOutside).count;
}

std::vector<PieceJoin> joinAcrossBoundary(const std::vector<PlaneRun>& belowTop,
                                          const std::vector<PlaneRun>& aboveBottom) {
    std::vector<PieceJoin> joins;
    forEachTouch(belowTop.data(), belowTop.size(), aboveBottom.data(), aboveBottom.size(), [&](size_t i, size_t j) {
        joins.push_back(PieceJoin{belowTop[i].piece, aboveBottom[j].piece, belowTop[i].label});
    });
    // Two pieces often touch through many runs; each pair once keeps what travels to the merge small.
    const auto key = [](const PieceJoin& join) { return std::tie(join.below, join.above); };
    std::sort(joins.begin(), joins.end(), [&](const PieceJoin& a, const PieceJoin& b) { return key(a) < key(b); });
    joins.erase(std::unique(joins.begin(), joins.end(),
                            [&](const PieceJoin& a, const PieceJoin& b) { return key(a) == key(b); }),
                joins.end());
    return joins;
}

std::vector<uint32_t> mergeSlabCounts(const std::vector<std::vector<uint32_t>>& slabCounts,
                                      const std::vector<std::vector<PieceJoin>>& joins) {
    if (slabCounts.empty() || joins.size() != slabCounts.size() - 1)
        throw std::invalid_argument("mergeSlabCounts: one list of joins for each plane between two slabs");
    std::vector<uint32_t> count(slabCounts[0].size(), 0);
    for (const std::vector<uint32_t>& slab : slabCounts) {
        if (slab.size() != count.size())
            throw std::invalid_argument("mergeSlabCounts: slabs count different numbers of labels");
        for (size_t l = 0; l < count.size(); ++l) count[l] += slab[l];
    }

    // A node per (slab, piece id): slab r's nodes start at first[r].
    std::vector<size_t> first(slabCounts.size() + 1, 0);
    for (size_t r = 0; r < joins.size(); ++r)
        for (const PieceJoin& join : joins[r]) {
            first[r + 1] = std::max(first[r + 1], size_t(join.below) + 1);
            first[r + 2] = std::max(first[r + 2], size_t(join.above) + 1);
        }
    std::partial_sum(first.begin(), first.end(), first.begin());

    // Every join that unites two pieces still apart makes one piece of two.
    DisjointSets pieces(first.back());
    for (size_t r = 0; r < joins.size(); ++r)
        for (const PieceJoin& join : joins[r])
            if (pieces.join(first[r] + join.below, first[r + 1] + join.above) && join.label < count.size())
                --count[join.label];
    return count;
}

}  // namespace cvt::volume
