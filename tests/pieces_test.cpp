// The pieces of every region against a flood fill voxel by voxel, on random label volumes whose
// regions are scattered (many pieces), blocky (few) and masked.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "volume/pieces.h"

namespace cvt::volume {
namespace {

std::vector<uint32_t> floodFillPieces(const std::vector<uint32_t>& labels, GridBox box, size_t labelCount,
                                      bool zeroIsOutside) {
    std::vector<uint32_t> count(labelCount, 0);
    std::vector<bool> seen(labels.size(), false);
    const auto at = [&](int x, int y, int z) { return size_t(x) + size_t(box.x) * (y + size_t(box.y) * z); };
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const uint32_t label = labels[at(x, y, z)];
                if (seen[at(x, y, z)] || (zeroIsOutside && label == 0)) continue;
                ++count[label];
                std::vector<std::array<int, 3>> stack{{x, y, z}};
                seen[at(x, y, z)] = true;
                while (!stack.empty()) {
                    const auto [px, py, pz] = stack.back();
                    stack.pop_back();
                    const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
                    for (const auto& d : steps) {
                        const int qx = px + d[0], qy = py + d[1], qz = pz + d[2];
                        if (qx < 0 || qy < 0 || qz < 0 || qx >= box.x || qy >= box.y || qz >= box.z) continue;
                        if (seen[at(qx, qy, qz)] || labels[at(qx, qy, qz)] != label) continue;
                        seen[at(qx, qy, qz)] = true;
                        stack.push_back({qx, qy, qz});
                    }
                }
            }
    return count;
}

TEST(PiecesTest, CountsAgreeWithAFloodFill) {
    std::mt19937 random(11);
    const GridBox boxes[] = {{1, 1, 1}, {17, 1, 1}, {1, 9, 13}, {12, 10, 8}, {31, 7, 5}, {6, 6, 40}};
    for (const GridBox box : boxes)
        for (const uint32_t labelCount : {2u, 3u, 8u})
            for (const int blockEdge : {1, 3})
                for (const bool masked : {false, true}) {
                    SCOPED_TRACE(std::to_string(box.x) + "x" + std::to_string(box.y) + "x" + std::to_string(box.z) +
                                 " labels " + std::to_string(labelCount) + " blocks " + std::to_string(blockEdge) +
                                 (masked ? " masked" : ""));
                    // Labels constant on blocks of blockEdge^3 voxels, so that regions have some extent.
                    std::vector<uint32_t> labels(size_t(box.x) * box.y * box.z);
                    std::vector<uint32_t> blockLabel(4096);
                    for (uint32_t& l : blockLabel) l = random() % labelCount;
                    size_t i = 0;
                    for (int z = 0; z < box.z; ++z)
                        for (int y = 0; y < box.y; ++y)
                            for (int x = 0; x < box.x; ++x)
                                labels[i++] = blockLabel[(x / blockEdge + 16 * (y / blockEdge + 16 * (z / blockEdge))) % 4096];
                    EXPECT_EQ(countPieces(labels.data(), box, labelCount, masked),
                              floodFillPieces(labels, box, labelCount, masked));
                }
}

TEST(PiecesTest, ARegionAroundAHoleIsOnePieceAndTwoSlabsAreTwo) {
    const GridBox box{5, 5, 3};
    std::vector<uint32_t> ring(75, 1), slabs(75, 1);
    for (int z = 0; z < 3; ++z) ring[2 + 5 * (2 + 5 * z)] = 0;  // a column through the middle
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) slabs[x + 5 * (y + 5 * 1)] = 0;  // the middle plane
    EXPECT_EQ(countPieces(ring.data(), box, 2, true), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(countPieces(slabs.data(), box, 2, true), (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(countPieces(slabs.data(), box, 2, false), (std::vector<uint32_t>{1, 2}));
}

}  // namespace
}  // namespace cvt::volume
