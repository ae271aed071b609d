// An obviously-correct host reference for regions made connected, voxel by voxel: flood-fill the
// pieces, give every piece without its site to the neighbouring region whose site-holding piece it
// shares the most faces with (ties: smaller id), all pieces of a round at once, and again until no such
// piece moves. Plain host code, shared by the kernel tests of both backends and the host-only tests.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "host/grid_shape.h"

namespace cvt::reference {

struct ConnectedLabels {
    std::vector<int> labels;
    uint64_t moved = 0, apart = 0;
};

// `inside` flags the voxels that belong to a region (in the box and the mask); `idOf` gives every
// site code its id.
inline ConnectedLabels connectRegions(const std::vector<int>& labels, const GridShape& g,
                                      const std::vector<uint8_t>& inside, const std::map<int, int>& idOf) {
    ConnectedLabels result{labels, 0, 0};
    std::vector<int>& current = result.labels;
    const auto index = [&](int x, int y, int z) { return size_t(g.index(x, y, z)); };
    const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (;;) {
        // Flood-fill the pieces; note which hold their site.
        std::vector<int> piece(current.size(), -1);
        std::vector<bool> holdsSite;
        std::vector<std::vector<std::array<int, 3>>> voxels;
        for (int z = 0; z < g.z; ++z)
            for (int y = 0; y < g.y; ++y)
                for (int x = 0; x < g.x; ++x) {
                    if (!inside[index(x, y, z)] || piece[index(x, y, z)] >= 0) continue;
                    const int id = int(voxels.size());
                    voxels.emplace_back();
                    holdsSite.push_back(false);
                    piece[index(x, y, z)] = id;
                    voxels.back().push_back({x, y, z});
                    for (size_t next = 0; next < voxels.back().size(); ++next) {
                        const auto [px, py, pz] = voxels.back()[next];
                        const int label = current[index(px, py, pz)];
                        if (label == g.codes.encode(px, py, pz)) holdsSite.back() = true;
                        for (const auto& d : steps) {
                            const int qx = px + d[0], qy = py + d[1], qz = pz + d[2];
                            if (qx < 0 || qy < 0 || qz < 0 || qx >= g.x || qy >= g.y || qz >= g.z) continue;
                            const size_t q = index(qx, qy, qz);
                            if (!inside[q] || piece[q] >= 0 || current[q] != label) continue;
                            piece[q] = id;
                            voxels.back().push_back({qx, qy, qz});
                        }
                    }
                }
        // Every piece without its site next to a piece with one picks a label; then all move at once.
        std::vector<std::pair<int, int>> moves;
        for (size_t id = 0; id < voxels.size(); ++id) {
            if (holdsSite[id]) continue;
            std::map<int, int> faces;
            for (const auto& [px, py, pz] : voxels[id])
                for (const auto& d : steps) {
                    const int qx = px + d[0], qy = py + d[1], qz = pz + d[2];
                    if (qx < 0 || qy < 0 || qz < 0 || qx >= g.x || qy >= g.y || qz >= g.z) continue;
                    const size_t q = index(qx, qy, qz);
                    if (inside[q] && piece[q] != int(id) && holdsSite[size_t(piece[q])]) ++faces[current[q]];
                }
            int best = 0, bestFaces = 0;
            for (const auto& [label, count] : faces)
                if (count > bestFaces || (count == bestFaces && idOf.at(label) < idOf.at(best)))
                    best = label, bestFaces = count;
            if (bestFaces > 0) moves.emplace_back(int(id), best);
        }
        if (moves.empty()) {
            for (size_t id = 0; id < voxels.size(); ++id) result.apart += !holdsSite[id];
            break;
        }
        for (const auto& [id, label] : moves)
            for (const auto& [px, py, pz] : voxels[size_t(id)]) current[index(px, py, pz)] = label;
    }
    for (size_t v = 0; v < labels.size(); ++v) result.moved += current[v] != labels[v];
    return result;
}

}  // namespace cvt::reference
