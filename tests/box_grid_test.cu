// Grids with a side of their own along each axis: the shapes a box is given, the pyramid they allow,
// the labelling on them against brute force (every side different, each at its smallest, a side past
// 1024 with its wider code fields, the longest side allowed), and whole runs of the driver on a box
// inside such a grid.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "device_test_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

class BoxGridTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }
};

std::string text(const GridShape& g) {
    return shapeText(g) + " (" + std::to_string(g.codes.xBits) + "/" + std::to_string(g.codes.yBits) + "/" +
           std::to_string(g.codes.zBits) + " bits)";
}

TEST(BoxGrids, EachSideIsRoundedToItsOwnStepAndThePyramidHalvesEverySide) {
    struct Case {
        GridBox box;
        GridShape grid;
        int levels;  // usable of at most 10
    };
    for (const Case& c : {Case{{512, 512, 96}, GridShape(512, 512, 96), 4}, Case{{256, 256, 256}, GridShape(256), 3},
                          Case{{1, 300, 40}, GridShape(32, 320, 40), 1}, Case{{200, 33, 1}, GridShape(224, 64, 4), 1},
                          Case{{128, 64, 24}, GridShape(128, 64, 24), 2},
                          Case{{1800, 300, 40}, GridShape(1824, 320, 40, SiteLayout{11, 9, 6}), 1},
                          Case{{4096, 64, 32}, GridShape(4096, 64, 32, SiteLayout{12, 6, 5}), 2},
                          Case{{16384, 64, 32}, GridShape(16384, 64, 32, SiteLayout{14, 6, 5}), 2},
                          Case{{2049, 2048, 257}, GridShape(2080, 2048, 260, SiteLayout{12, 11, 9, true}), 1}}) {
        const GridShape grid = smallestGridHolding(c.box);
        EXPECT_EQ(grid, c.grid) << text(grid);
        EXPECT_EQ(usableLevelCount(grid, 10), c.levels) << text(grid);
        EXPECT_TRUE(fullGridProblem(grid).empty()) << fullGridProblem(grid);
    }
    // Codes are 32-bit up to 30 bits of coordinates, 64-bit past them (or when asked for); sides past the
    // longest are refused with the limit in the message.
    EXPECT_FALSE(fullGrid(1024, 1024, 1024).codes.wide);
    EXPECT_FALSE(fullGrid(16384, 16384, 4).codes.wide);
    EXPECT_TRUE(fullGrid(2048, 2048, 512).codes.wide);
    EXPECT_TRUE(fullGrid(1024, 1024, 1024, CodeWidth::wide).codes.wide);
    EXPECT_EQ(fullGrid(64, 32, 8, CodeWidth::wide).codes.fieldBits(), fullGrid(64, 32, 8).codes.fieldBits());
    for (const GridShape& grid : {fullGrid(2048, 2048, 512), fullGrid(16384, 16384, 16384), fullGrid(64, 32, 8, CodeWidth::wide)})
        EXPECT_TRUE(fullGridProblem(grid).empty()) << fullGridProblem(grid);
    EXPECT_NE(fullGridProblem(fullGrid(16416, 32, 4)).find("at most 16384"), std::string::npos);
    EXPECT_NE(fullGridProblem(GridShape(64, 32, 8, SiteLayout{6, 5, 3, true})).find("layout"), std::string::npos);
    // Past 2^31 voxels a voxel's index takes 64 bits.
    EXPECT_EQ(fullGrid(16384, 16384, 16384).index(16383, 16383, 16383), (int64_t{1} << 42) - 1);
    // The float sums take 32-bit codes and rows that a block's shared memory holds.
    EXPECT_TRUE(floatSumsProblem(fullGrid(12288, 32, 4)).empty());
    EXPECT_NE(floatSumsProblem(fullGrid(12320, 32, 4)).find("rows"), std::string::npos);
    EXPECT_NE(floatSumsProblem(fullGrid(64, 32, 8, CodeWidth::wide)).find("64-bit"), std::string::npos);
}

// Sites of a grid: random ones anywhere, random ones 4 apart (many voxels at equal distances), one
// cluster, and one site alone.
std::vector<std::vector<Site>> siteSets(const GridShape& g, std::mt19937& random) {
    const auto draw = [&](int count, int step, int spread) {
        std::vector<Site> sites;
        const auto coordinate = [&](int side) {
            const int reach = std::min(side, spread);
            const int origin = int(random() % unsigned(side - reach + 1));
            return std::min(side - 1, origin + int(random() % unsigned((reach + step - 1) / step)) * step);
        };
        for (int s = 0; s < count; ++s) sites.push_back({coordinate(g.x), coordinate(g.y), coordinate(g.z)});
        return distinct(sites);
    };
    return {draw(40, 1, 1 << 20), draw(30, 4, 1 << 20), draw(25, 1, 6), draw(1, 1, 1 << 20)};
}

TEST_F(BoxGridTest, LabellingsOfBoxGridsAreExact) {
    std::mt19937 random(11);
    const std::array<int64_t, 3> weightSets[] = {{1, 1, 1}, {49, 49, 625}, {1, 400, 9}};
    for (const GridShape& g : {fullGrid(32, 64, 4), fullGrid(96, 32, 12), fullGrid(64, 160, 36), fullGrid(2048, 32, 8),
                               fullGrid(4096, 32, 4)}) {
        allocateBuffers(g);
        for (const std::vector<Site>& sites : siteSets(g, random))
            for (const std::array<int64_t, 3>& w : weightSets) {
                uploadVolume(voronoiBuffers[voronoiIndex], siteVolume(sites, g));
                computeVoronoi(AxisWeights{w[0], w[1], w[2]});
                const std::vector<int> labels = downloadVolume(currentSites, size_t(g.voxels()));
                const std::vector<int> expected = bruteForceLabelling(sites, g, w);
                size_t wrong = 0;
                for (size_t v = 0; v < labels.size(); ++v) wrong += labels[v] != expected[v];
                EXPECT_EQ(wrong, 0u) << text(g) << ", " << sites.size() << " sites, weights " << w[0] << " " << w[1]
                                     << " " << w[2];
            }
        releaseBuffers();
    }
}

// A box in a grid of its own shape and with room around it, on one level and on two: every site
// stays in the box, the final labelling is exact, and a box that is the grid itself runs as well.
TEST_F(BoxGridTest, RunsOnBoxesKeepTheirSitesInTheBoxAndEndExact) {
    struct Case {
        GridShape grid;
        GridBox box;
        int levels;
        SitePlacement::Kind kind;
    };
    for (const Case& c : {Case{fullGrid(128, 64, 24), {128, 64, 24}, 2, SitePlacement::Kind::density},
                          Case{fullGrid(128, 64, 24), {100, 50, 21}, 2, SitePlacement::Kind::uniform},
                          Case{fullGrid(96, 32, 8), {70, 3, 5}, 1, SitePlacement::Kind::density},
                          Case{fullGrid(2048, 32, 4), {1500, 20, 3}, 1, SitePlacement::Kind::uniform}}) {
        SCOPED_TRACE(text(c.grid));
        allocateBuffers(c.grid);
        // A density of the box only, not in [0, 1]: the request divides it on upload.
        std::vector<float> density(size_t(c.box.x) * c.box.y * c.box.z);
        for (size_t v = 0; v < density.size(); ++v) density[v] = 3.0f + float(std::sin(0.01 * double(v)));
        std::vector<int> result(size_t(c.grid.x) * c.grid.y * c.box.z);  // the box's planes
        CvtRequest request;
        request.density = density.data();
        request.densityDivisor = 4.0f;
        request.result = result.data();
        request.siteCount = 30;
        request.maxLevels = c.levels;
        request.maxIterations = 25;
        request.box = c.box;
        request.placement.kind = c.kind;
        request.placement.seed = 3;
        runCvt(request);
        EXPECT_EQ(lastCvtRun().levelCount, c.levels);
        EXPECT_EQ(gridSize, c.grid);
        std::vector<Site> sites;
        for (int z = 0; z < c.box.z; ++z)
            for (int y = 0; y < c.grid.y; ++y)
                for (int x = 0; x < c.grid.x; ++x)
                    if (result[size_t(c.grid.index(x, y, z))] == c.grid.codes.encode(x, y, z)) sites.push_back({x, y, z});
        EXPECT_GE(sites.size(), 20u);
        for (const Site& s : sites) EXPECT_TRUE(s.x < c.box.x && s.y < c.box.y && s.z < c.box.z);
        std::vector<int> expected = bruteForceLabelling(sites, c.grid);
        expected.resize(result.size());
        EXPECT_EQ(result, expected);
        releaseBuffers();
    }
}

}  // namespace
CVT_END_NAMESPACE
