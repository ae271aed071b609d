// The pieces of every region against a flood fill voxel by voxel, on random label volumes whose
// regions are scattered (many pieces), blocky (few) and masked; and counted slab by slab against
// counted whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessellation/pieces.h"

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

// Labels constant on blocks of blockEdge^3 voxels, so that regions have some extent.
std::vector<uint32_t> blockLabels(GridBox box, uint32_t labelCount, int blockEdge, std::mt19937& random) {
    std::vector<uint32_t> labels(size_t(box.x) * box.y * box.z);
    std::vector<uint32_t> blockLabel(4096);
    for (uint32_t& l : blockLabel) l = random() % labelCount;
    size_t i = 0;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x)
                labels[i++] = blockLabel[(x / blockEdge + 16 * (y / blockEdge + 16 * (z / blockEdge))) % 4096];
    return labels;
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
                    const std::vector<uint32_t> labels = blockLabels(box, labelCount, blockEdge, random);
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

// The counts of the volume counted as slabs of planes [cuts[r], cuts[r + 1]), the way separate processes
// count it: each slab alone, then the joins across the planes between them.
std::vector<uint32_t> countBySlabs(const std::vector<uint32_t>& labels, GridBox box, size_t labelCount,
                                   bool zeroIsOutside, const std::vector<int>& cuts) {
    std::vector<SlabPieces> slabs;
    for (size_t r = 0; r + 1 < cuts.size(); ++r)
        slabs.push_back(countSlabPieces(labels.data() + size_t(box.x) * box.y * cuts[r],
                                        GridBox{box.x, box.y, cuts[r + 1] - cuts[r]}, labelCount, zeroIsOutside));
    std::vector<std::vector<uint32_t>> counts;
    std::vector<std::vector<PieceJoin>> joins;
    for (size_t r = 0; r < slabs.size(); ++r) {
        counts.push_back(slabs[r].count);
        if (r > 0) joins.push_back(joinAcrossBoundary(slabs[r - 1].top, slabs[r].bottom));
    }
    return mergeSlabCounts(counts, joins);
}

TEST(PiecesTest, SlabsCountLikeTheWholeVolume) {
    std::mt19937 random(23);
    for (int trial = 0; trial < 2000; ++trial) {
        const GridBox box{1 + int(random() % 9), 1 + int(random() % 6), 1 + int(random() % 12)};
        const uint32_t labelCount = 2 + random() % 3;
        const bool zeroIsOutside = random() % 2;
        const std::vector<uint32_t> labels = blockLabels(box, labelCount, 1 + random() % 3, random);
        // 1 .. 5 slabs of at least one plane each, cut at random planes.
        std::vector<int> planes(box.z - 1);
        std::iota(planes.begin(), planes.end(), 1);
        std::shuffle(planes.begin(), planes.end(), random);
        planes.resize(std::min<size_t>(planes.size(), random() % 5));
        std::vector<int> cuts{0, box.z};
        cuts.insert(cuts.end(), planes.begin(), planes.end());
        std::sort(cuts.begin(), cuts.end());
        SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(cuts.size() - 1) + " slabs");
        ASSERT_EQ(countBySlabs(labels, box, labelCount, zeroIsOutside, cuts),
                  countPieces(labels.data(), box, labelCount, zeroIsOutside));
    }
}

TEST(PiecesTest, PiecesThatMeetInAnotherSlabAreOne) {
    // Slices x + 3z of 3 x 1 x 4 volumes, one plane per slab: label 1 in the shapes, 0 around them.
    struct Case {
        const char* name;
        const char* planes;
        std::vector<uint32_t> pieces;
    };
    const Case cases[] = {
        {"U, arms meet in the first slab", "111" "101" "101" "101", {1, 1}},
        {"n, arms meet in the last slab", "101" "101" "101" "111", {1, 1}},
        {"S, bends in two slabs", "111" "100" "111" "001", {2, 1}},
        {"two arms apart", "101" "101" "101" "101", {1, 2}},
        {"a column through every slab", "010" "010" "010" "010", {2, 1}},
    };
    for (const Case& c : cases)
        for (const bool zeroIsOutside : {false, true}) {
            SCOPED_TRACE(c.name);
            std::vector<uint32_t> labels;
            for (const char* p = c.planes; *p; ++p) labels.push_back(*p - '0');
            std::vector<uint32_t> expected = c.pieces;
            if (zeroIsOutside) expected[0] = 0;
            EXPECT_EQ(countBySlabs(labels, GridBox{3, 1, 4}, 2, zeroIsOutside, {0, 1, 2, 3, 4}), expected);
            EXPECT_EQ(countPieces(labels.data(), GridBox{3, 1, 4}, 2, zeroIsOutside), expected);
        }
}

TEST(PiecesTest, PlanePiecesHaveOneIdEachCountedFromZero) {
    std::mt19937 random(5);
    for (int trial = 0; trial < 200; ++trial) {
        const GridBox box{1 + int(random() % 9), 1 + int(random() % 6), 1 + int(random() % 4)};
        const std::vector<uint32_t> labels = blockLabels(box, 3, 1 + random() % 2, random);
        const SlabPieces slab = countSlabPieces(labels.data(), box, 3, trial % 2);
        std::vector<uint32_t> labelOfId;
        for (const auto* plane : {&slab.bottom, &slab.top})
            for (const PlaneRun& run : *plane) {
                ASSERT_LE(run.piece, labelOfId.size());  // ids come in order of first appearance
                if (run.piece == labelOfId.size()) labelOfId.push_back(run.label);
                EXPECT_EQ(labelOfId[run.piece], run.label);
            }
    }
}

TEST(PiecesTest, MergingRejectsJoinsThatDoNotFitTheSlabs) {
    EXPECT_THROW(mergeSlabCounts({}, {}), std::invalid_argument);
    EXPECT_THROW(mergeSlabCounts({{1, 2}, {1, 2}}, {}), std::invalid_argument);
    EXPECT_THROW(mergeSlabCounts({{1, 2}, {1}}, {{}}), std::invalid_argument);
    EXPECT_EQ(mergeSlabCounts({{1, 2}, {0, 3}}, {{{0, 0, 1}, {1, 0, 1}, {0, 0, 1}}}), (std::vector<uint32_t>{1, 3}));
}

}  // namespace
}  // namespace cvt::volume
