// The adjacency table against a count face by face, under cubic and anisotropic spacings, on label
// volumes of many shapes, scattered and blocky, with a mask's 0 among the labels; and its file, written
// and read back.
#include "tessellation/adjacency.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/failure.h"

namespace cvt::volume {
namespace {

std::vector<formats::AdjacencyRow> bruteForce(const std::vector<uint32_t>& labels, GridBox box, const Spacing& s) {
    std::map<std::pair<uint32_t, uint32_t>, formats::AdjacencyRow> pairs;
    const double area[3] = {s[1] * s[2], s[0] * s[2], s[0] * s[1]};
    const auto at = [&](int x, int y, int z) { return labels[size_t(x) + size_t(box.x) * (y + size_t(box.y) * z)]; };
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const std::array<int, 3> next[3] = {{x + 1, y, z}, {x, y + 1, z}, {x, y, z + 1}};
                for (int axis = 0; axis < 3; ++axis) {
                    const auto [nx, ny, nz] = next[axis];
                    if (nx >= box.x || ny >= box.y || nz >= box.z) continue;
                    const uint32_t a = at(x, y, z), b = at(nx, ny, nz);
                    if (a == b) continue;
                    formats::AdjacencyRow& row = pairs[{std::min(a, b), std::max(a, b)}];
                    row.a = std::min(a, b), row.b = std::max(a, b);
                    ++row.faces;
                    row.area += area[axis];
                }
            }
    std::vector<formats::AdjacencyRow> rows;
    for (const auto& [pair, row] : pairs) rows.push_back(row);
    return rows;
}

// Labels on blocks of blockEdge^3 voxels, some 0.
std::vector<uint32_t> blockLabels(GridBox box, uint32_t labelCount, int blockEdge, std::mt19937& random) {
    std::vector<uint32_t> blockLabel(4099);
    for (uint32_t& l : blockLabel) l = random() % labelCount;
    std::vector<uint32_t> labels;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x)
                labels.push_back(blockLabel[(x / blockEdge + 17 * (y / blockEdge) + 17 * 19 * (z / blockEdge)) % 4099]);
    return labels;
}

TEST(AdjacencyTest, AgreesWithACountFaceByFace) {
    std::mt19937 random(23);
    const GridBox boxes[] = {{1, 1, 1}, {9, 1, 1}, {1, 7, 1}, {1, 1, 6}, {13, 11, 9}, {40, 3, 17}, {70, 60, 5}};
    const Spacing spacings[] = {{1, 1, 1}, {0.7, 0.7, 2.5}, {1, 2, 3}, {3.5, 0.25, 1}};
    for (const GridBox box : boxes)
        for (const uint32_t labelCount : {2u, 7u, 3000u})
            for (const int blockEdge : {1, 4})
                for (const Spacing& spacing : spacings) {
                    SCOPED_TRACE(std::to_string(box.x) + "x" + std::to_string(box.y) + "x" + std::to_string(box.z) +
                                 " labels " + std::to_string(labelCount) + " blocks " + std::to_string(blockEdge) +
                                 " spacing " + std::to_string(spacing[0]) + "," + std::to_string(spacing[1]) + "," +
                                 std::to_string(spacing[2]));
                    const std::vector<uint32_t> labels = blockLabels(box, labelCount, blockEdge, random);
                    const std::vector<formats::AdjacencyRow> rows = labelAdjacency(labels, box, spacing);
                    const std::vector<formats::AdjacencyRow> expected = bruteForce(labels, box, spacing);
                    ASSERT_EQ(rows.size(), expected.size());
                    for (size_t i = 0; i < rows.size(); ++i) {
                        EXPECT_EQ(rows[i].a, expected[i].a);
                        EXPECT_EQ(rows[i].b, expected[i].b);
                        EXPECT_EQ(rows[i].faces, expected[i].faces);
                        EXPECT_NEAR(rows[i].area, expected[i].area, 1e-12 * expected[i].area);
                    }
                }
    EXPECT_THROW(labelAdjacency(std::vector<uint32_t>(5), GridBox{2, 2, 2}, {1, 1, 1}), std::invalid_argument);
}

TEST(AdjacencyTest, TheFileReadsBackAsWritten) {
    char pattern[] = "/tmp/cvt-adjacency-XXXXXX";
    const std::string directory = mkdtemp(pattern), path = directory + "/adjacency.csv";
    const std::vector<formats::AdjacencyRow> rows = {
        {0, 1, 12, 8.399999999999999}, {1, 2, 1, 0.49}, {4000000000u, 4000000001u, 1ull << 40, 1.75e12}};
    formats::writeAdjacencyCsv(path, rows);
    const std::vector<formats::AdjacencyRow> back = formats::readAdjacencyCsv(path);
    ASSERT_EQ(back.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(back[i].a, rows[i].a);
        EXPECT_EQ(back[i].b, rows[i].b);
        EXPECT_EQ(back[i].faces, rows[i].faces);
        EXPECT_NEAR(back[i].area, rows[i].area, 1e-14 * rows[i].area);
    }
    for (const char* text :
         {"", "a,b,faces\n", "a,b,faces,area\n1,2,3\n", "a,b,faces,area\n1,2,x,4\n", "a,b,faces,area\n1,2,3,nan\n"}) {
        std::FILE* file = std::fopen(path.c_str(), "w");
        std::fputs(text, file);
        std::fclose(file);
        EXPECT_THROW(formats::readAdjacencyCsv(path), Failure) << text;
    }
    std::remove(path.c_str());
    rmdir(directory.c_str());
}

}  // namespace
}  // namespace cvt::volume
