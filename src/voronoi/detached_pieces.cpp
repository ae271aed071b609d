#include "detached_pieces.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>

#include "device/failure.h"

namespace cvt {
namespace {

constexpr int32_t none = -1;

// Pieces of detached voxels: the records joined through faces between voxels of one label.
class PieceSets {
public:
    explicit PieceSets(size_t count) : parent_(count) { std::iota(parent_.begin(), parent_.end(), int32_t(0)); }
    int32_t root(int32_t i) {
        while (parent_[size_t(i)] != i) i = parent_[size_t(i)] = parent_[size_t(parent_[size_t(i)])];
        return i;
    }
    void join(int32_t a, int32_t b) {
        a = root(a), b = root(b);
        if (a != b) parent_[size_t(std::max(a, b))] = std::min(a, b);
    }

private:
    std::vector<int32_t> parent_;
};

int32_t idOf(const SiteIds& sites, int64_t code) {
    const auto found = std::lower_bound(sites.codes.begin(), sites.codes.end(), code);
    if (found == sites.codes.end() || *found != code)
        throw Failure("making regions connected: label " + std::to_string(code) + " names no site");
    return sites.ids[size_t(found - sites.codes.begin())];
}

// The label a piece goes to among the anchored labels around it, one entry per shared face: the most
// faces, ties to the smaller id (and, between equal ids, which a site table should not have, the
// smaller code, so that the choice never depends on anything but the labels).
int64_t mostSharedLabel(std::vector<int64_t>& faces, const SiteIds& sites) {
    std::sort(faces.begin(), faces.end());
    int64_t best = faces.front();
    int32_t bestId = idOf(sites, best);
    size_t bestCount = 0;
    for (size_t start = 0, end; start < faces.size(); start = end) {
        end = size_t(std::upper_bound(faces.begin() + ptrdiff_t(start), faces.end(), faces[start]) - faces.begin());
        const size_t count = end - start;
        const int32_t id = idOf(sites, faces[start]);
        if (count > bestCount || (count == bestCount && id < bestId)) {
            best = faces[start], bestId = id, bestCount = count;
        }
    }
    return best;
}

}  // namespace

DetachedResolution resolveDetachedPieces(std::vector<DetachedVoxel> detached, const GridShape& g,
                                         const SiteIds& sites) {
    if (sites.ids.size() != sites.codes.size() ||
        std::adjacent_find(sites.codes.begin(), sites.codes.end(), std::greater_equal<int64_t>()) != sites.codes.end())
        throw Failure("making regions connected needs the site codes in increasing order, an id to each");
    std::sort(detached.begin(), detached.end(),
              [](const DetachedVoxel& a, const DetachedVoxel& b) { return a.voxel < b.voxel; });
    const size_t count = detached.size();
    const int64_t plane = int64_t(g.x) * g.y;
    const int64_t step[faceNeighbours] = {-1, 1, -int64_t(g.x), int64_t(g.x), -plane, plane};

    // The record of every detached neighbour, found once.
    std::vector<int32_t> neighbourRecord(count * faceNeighbours, none);
    for (size_t i = 0; i < count; ++i)
        for (int d = 0; d < faceNeighbours; ++d) {
            if (detached[i].neighbours[d] != detachedNeighbour) continue;
            const int64_t voxel = detached[i].voxel + step[d];
            const auto found = std::lower_bound(detached.begin(), detached.end(), voxel,
                                                [](const DetachedVoxel& r, int64_t v) { return r.voxel < v; });
            if (found == detached.end() || found->voxel != voxel)
                throw Failure("making regions connected: voxel " + std::to_string(detached[i].voxel) +
                              " has a detached neighbour without a record");
            neighbourRecord[i * faceNeighbours + size_t(d)] = int32_t(found - detached.begin());
        }

    PieceSets sets(count);
    for (size_t i = 0; i < count; ++i)
        for (int d = 0; d < faceNeighbours; ++d) {
            const int32_t j = neighbourRecord[i * faceNeighbours + size_t(d)];
            if (j != none && detached[size_t(j)].code == detached[i].code) sets.join(int32_t(i), j);
        }
    // Pieces numbered by their first voxel; members listed piece by piece, each in voxel order.
    std::vector<int32_t> pieceOf(count);
    std::vector<int32_t> pieceOfRoot(count, none);
    int32_t pieces = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t& piece = pieceOfRoot[size_t(sets.root(int32_t(i)))];
        if (piece == none) piece = pieces++;
        pieceOf[i] = piece;
    }
    std::vector<size_t> memberStart(size_t(pieces) + 1, 0);
    for (const int32_t piece : pieceOf) ++memberStart[size_t(piece) + 1];
    std::partial_sum(memberStart.begin(), memberStart.end(), memberStart.begin());
    std::vector<int32_t> members(count);
    {
        std::vector<size_t> next(memberStart.begin(), memberStart.end() - 1);
        for (size_t i = 0; i < count; ++i) members[next[size_t(pieceOf[i])]++] = int32_t(i);
    }
    const auto forEachFace = [&](int32_t piece, auto&& visit) {
        for (size_t m = memberStart[size_t(piece)]; m < memberStart[size_t(piece) + 1]; ++m) {
            const size_t i = size_t(members[m]);
            for (int d = 0; d < faceNeighbours; ++d)
                visit(detached[i].neighbours[d], neighbourRecord[i * faceNeighbours + size_t(d)]);
        }
    };

    std::vector<int64_t> code(count);
    for (size_t i = 0; i < count; ++i) code[i] = detached[i].code;
    std::vector<int32_t> settledIn(size_t(pieces), 0);  // the round that settled the piece; 0: none yet

    // The first round takes the pieces that touch an anchored voxel from the start.
    std::vector<int32_t> candidates;
    for (int32_t piece = 0; piece < pieces; ++piece) {
        bool touches = false;
        forEachFace(piece, [&](int64_t neighbour, int32_t) { touches = touches || neighbour >= 0; });
        if (touches) candidates.push_back(piece);
    }
    std::vector<int64_t> faces;
    std::vector<int32_t> settledNow;
    std::vector<std::pair<int32_t, int64_t>> moves;  // piece, label
    for (int32_t round = 1; !candidates.empty(); ++round) {
        moves.clear();
        for (const int32_t piece : candidates) {
            faces.clear();
            forEachFace(piece, [&](int64_t neighbour, int32_t record) {
                if (neighbour >= 0)
                    faces.push_back(neighbour);
                else if (record != none && settledIn[size_t(pieceOf[size_t(record)])] != 0)
                    faces.push_back(code[size_t(record)]);
            });
            moves.emplace_back(piece, mostSharedLabel(faces, sites));
        }
        settledNow.clear();
        for (const auto& [piece, label] : moves) {
            settledIn[size_t(piece)] = round;
            settledNow.push_back(piece);
            for (size_t m = memberStart[size_t(piece)]; m < memberStart[size_t(piece) + 1]; ++m)
                code[size_t(members[m])] = label;
        }
        // A piece of the label that a piece moved to, next to it, is now joined to its site as well.
        for (const auto& [piece, label] : moves)
            forEachFace(piece, [&](int64_t, int32_t record) {
                if (record == none) return;
                const int32_t next = pieceOf[size_t(record)];
                if (settledIn[size_t(next)] == 0 && code[size_t(record)] == label) {
                    settledIn[size_t(next)] = round;
                    settledNow.push_back(next);
                }
            });
        // The next round takes the pieces still detached next to those settled now.
        candidates.clear();
        for (const int32_t piece : settledNow)
            forEachFace(piece, [&](int64_t, int32_t record) {
                if (record == none) return;
                const int32_t next = pieceOf[size_t(record)];
                if (settledIn[size_t(next)] == 0) candidates.push_back(next);
            });
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    }

    DetachedResolution resolution;
    resolution.apartPieces = uint64_t(std::count(settledIn.begin(), settledIn.end(), 0));
    for (size_t i = 0; i < count; ++i)
        if (code[i] != detached[i].code) {
            resolution.voxels.push_back(detached[i].voxel);
            resolution.codes.push_back(code[i]);
        }
    return resolution;
}

}  // namespace cvt
