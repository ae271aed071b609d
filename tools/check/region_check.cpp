#include "region_check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <unordered_map>

namespace cvt::check {
namespace {

constexpr int32_t noComponent = -1;

std::string voxelText(size_t i, GridBox box) {
    char text[48];
    std::snprintf(text, sizeof text, "(%d, %d, %d)", int(i % box.x), int(i / box.x % box.y),
                  int(i / (size_t(box.x) * box.y)));
    return text;
}

// The 6-connected components of the voxels that `member` admits, joined where `joined(a, b)` holds
// between face neighbours: a component number per voxel (noComponent for the others).
template <class Member, class Joined>
std::vector<int32_t> components(GridBox box, Member member, Joined joined) {
    const size_t count = size_t(box.x) * box.y * box.z;
    const size_t row = size_t(box.x), plane = row * box.y;
    std::vector<int32_t> component(count, noComponent);
    std::vector<size_t> stack;
    int32_t next = 0;
    for (size_t start = 0; start < count; ++start) {
        if (!member(start) || component[start] != noComponent) continue;
        component[start] = next;
        stack.push_back(start);
        while (!stack.empty()) {
            const size_t v = stack.back();
            stack.pop_back();
            const size_t x = v % row, y = v / row % box.y, z = v / plane;
            const std::array<std::pair<bool, size_t>, 6> neighbours = {{{x > 0, v - 1},
                                                                        {x + 1 < row, v + 1},
                                                                        {y > 0, v - row},
                                                                        {y + 1 < size_t(box.y), v + row},
                                                                        {z > 0, v - plane},
                                                                        {z + 1 < size_t(box.z), v + plane}}};
            for (const auto& [exists, q] : neighbours)
                if (exists && component[q] == noComponent && member(q) && joined(v, q)) {
                    component[q] = next;
                    stack.push_back(q);
                }
        }
        ++next;
    }
    return component;
}

}  // namespace

std::optional<std::string> connectedProblem(const std::vector<uint32_t>& ids, const std::vector<uint32_t>& nearest,
                                            GridBox box, uint32_t firstId, const std::vector<size_t>& siteVoxels) {
    const auto inside = [&](size_t v) { return firstId == 0 || ids[v] != 0; };
    for (size_t site = 0; site < siteVoxels.size(); ++site)
        if (ids[siteVoxels[site]] != firstId + site)
            return "site " + std::to_string(firstId + site) + " at " + voxelText(siteVoxels[site], box) +
                   " lies in region " + std::to_string(ids[siteVoxels[site]]) + ", not its own";
    const std::vector<int32_t> piece = components(box, inside, [&](size_t a, size_t b) { return ids[a] == ids[b]; });
    const std::vector<int32_t> exactPiece =
        components(box, inside, [&](size_t a, size_t b) { return nearest[a] == nearest[b]; });
    const std::vector<int32_t> part = components(box, inside, [](size_t, size_t) { return true; });
    std::vector<bool> partHasSite(ids.size(), false);
    for (const size_t voxel : siteVoxels) partHasSite[size_t(part[voxel])] = true;
    for (size_t v = 0; v < ids.size(); ++v) {
        if (!inside(v)) continue;
        const size_t site = siteVoxels[ids[v] - firstId];
        if (piece[v] != piece[site] && partHasSite[size_t(part[v])])
            return "region " + std::to_string(ids[v]) + " has a piece at " + voxelText(v, box) +
                   " that does not hold its site, which lies within reach";
        if (ids[v] != nearest[v] && exactPiece[v] == exactPiece[siteVoxels[nearest[v] - firstId]])
            return "voxel " + voxelText(v, box) + " is labelled " + std::to_string(ids[v]) + ", but its nearest site " +
                   std::to_string(nearest[v]) + " reaches it through voxels nearest to it";
    }
    return std::nullopt;
}

std::optional<std::string> adjacencyProblem(const std::vector<formats::AdjacencyRow>& rows,
                                            const std::vector<uint32_t>& ids, GridBox box, const Spacing& spacing) {
    // Face by face: the faces of every pair along each axis.
    std::unordered_map<uint64_t, std::array<uint64_t, 3>> faces;
    const size_t row = size_t(box.x), plane = row * box.y;
    for (size_t v = 0; v < ids.size(); ++v) {
        const size_t x = v % row, y = v / row % box.y, z = v / plane;
        const std::array<std::pair<bool, size_t>, 3> next = {
            {{x + 1 < row, v + 1}, {y + 1 < size_t(box.y), v + row}, {z + 1 < size_t(box.z), v + plane}}};
        for (size_t axis = 0; axis < 3; ++axis) {
            const auto [exists, q] = next[axis];
            if (!exists || ids[v] == ids[q]) continue;
            const uint64_t a = std::min(ids[v], ids[q]), b = std::max(ids[v], ids[q]);
            ++faces[a << 32 | b][axis];
        }
    }
    std::vector<std::pair<uint64_t, std::array<uint64_t, 3>>> pairs(faces.begin(), faces.end());
    std::sort(pairs.begin(), pairs.end());
    for (size_t i = 0; i < std::max(rows.size(), pairs.size()); ++i) {
        if (i == rows.size())
            return "the labels' regions " + std::to_string(pairs[i].first >> 32) + " and " +
                   std::to_string(uint32_t(pairs[i].first)) + " touch, and the table has no row for them";
        const formats::AdjacencyRow& r = rows[i];
        const std::string pair = std::to_string(r.a) + "," + std::to_string(r.b);
        if (i > 0 && (rows[i - 1].a > r.a || (rows[i - 1].a == r.a && rows[i - 1].b >= r.b)))
            return "row " + std::to_string(i + 2) + " (" + pair + ") is out of order";
        if (i == pairs.size() || pairs[i].first != (uint64_t(r.a) << 32 | r.b)) {
            const bool missing = i < pairs.size() && pairs[i].first < (uint64_t(r.a) << 32 | r.b);
            return missing ? "the labels' regions " + std::to_string(pairs[i].first >> 32) + " and " +
                                 std::to_string(uint32_t(pairs[i].first)) + " touch, and the table has no row for them"
                           : "row " + std::to_string(i + 2) + " (" + pair + ") names regions that do not touch";
        }
        const auto [fx, fy, fz] = pairs[i].second;
        const double area = double(fx) * spacing[1] * spacing[2] + double(fy) * spacing[0] * spacing[2] +
                            double(fz) * spacing[0] * spacing[1];
        if (r.faces != fx + fy + fz)
            return "row " + std::to_string(i + 2) + " (" + pair + ") gives " + std::to_string(r.faces) +
                   " faces, the labels " + std::to_string(fx + fy + fz);
        if (!(std::abs(r.area - area) <= 1e-9 * area))
            return "row " + std::to_string(i + 2) + " (" + pair + ") gives area " + std::to_string(r.area) +
                   ", the labels " + std::to_string(area);
    }
    return std::nullopt;
}

}  // namespace cvt::check
