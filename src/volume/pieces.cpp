#include "pieces.h"

#include <numeric>

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
    void join(size_t a, size_t b) {
        a = root(a), b = root(b);
        if (a != b) parent_[a < b ? b : a] = a < b ? a : b;
    }

private:
    std::vector<size_t> parent_;
};

}  // namespace

std::vector<uint32_t> countPieces(const uint32_t* labels, GridBox box, size_t labelCount, bool zeroIsOutside) {
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

    // Runs of one label that share an x in neighbouring rows touch through a face.
    DisjointSets pieces(runs.size());
    const auto joinRows = [&](size_t row, size_t other) {
        size_t a = rowStart[row], b = rowStart[other];
        while (a < rowStart[row + 1] && b < rowStart[other + 1]) {
            if (runs[a].start < runs[b].end && runs[b].start < runs[a].end && runs[a].label == runs[b].label)
                pieces.join(a, b);
            runs[a].end < runs[b].end ? ++a : ++b;
        }
    };
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const size_t row = size_t(z) * box.y + y;
            if (y > 0) joinRows(row, row - 1);
            if (z > 0) joinRows(row, row - box.y);
        }

    std::vector<uint32_t> count(labelCount, 0);
    for (size_t i = 0; i < runs.size(); ++i)
        if (pieces.root(i) == i && runs[i].label < labelCount) ++count[runs[i].label];
    return count;
}

}  // namespace cvt::volume
