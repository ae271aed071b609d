// The density pyramid: means of 2x2x2 blocks, summed in a fixed order, for every level of the set.
#include <random>
#include <vector>

#include "host/launch_shapes.h"
#include "device_test_support.h"
#include "driver/pyramid.h"
#include "host/buffers.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int edge) { return size_t(edge) * edge * edge; }

class PyramidTest : public DeviceTest {
protected:
    void TearDown() override { releaseBuffers(); }

    std::vector<float> level(int l) { return downloadVolume(densityLevels[l], cube(gridSize.x >> l)); }
};

TEST_F(PyramidTest, AConstantDensityStaysConstantOnEveryLevel) {
    for (auto [edge, levels] : {std::pair{64, 1}, std::pair{128, 2}, std::pair{256, 3}}) {
        allocateBuffers(edge);
        for (float value : {0.25f, 1.0f}) {
            uploadVolume(densityLevels[0], std::vector<float>(cube(edge), value));
            buildDensityPyramid();
            for (int l = 1; l < levels; ++l) EXPECT_EQ(level(l), std::vector<float>(cube(edge >> l), value)) << edge;
        }
        releaseBuffers();
    }
}

TEST_F(PyramidTest, OneVoxelSpreadsAsAnEighthPerLevel) {
    const int edge = 256;
    allocateBuffers(edge);
    std::vector<float> density(cube(edge), 0.0f);
    const int x = 201, y = 38, z = 147;
    density[(size_t(z) * edge + y) * edge + x] = 3.0f;
    uploadVolume(densityLevels[0], density);
    buildDensityPyramid();
    for (int l = 1; l <= 2; ++l) {
        const int e = edge >> l;
        std::vector<float> expected(cube(e), 0.0f);
        expected[(size_t(z >> l) * e + (y >> l)) * e + (x >> l)] = l == 1 ? 3.0f / 8 : 3.0f / 64;
        EXPECT_EQ(level(l), expected) << "level " << l;
    }
}

TEST_F(PyramidTest, BlocksAreSummedXOffsetOutermost) {
    // Values of very different sizes make the order of the additions visible.
    const int n = 32, m = 2 * n;
    std::mt19937 random(2);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::vector<float> fine(cube(m));
    for (float& v : fine) v = mantissa(random) * float(1 << (random() % 24)) * (random() % 2 ? 1.0f : -1.0f);
    DeviceArray<float> in(fine), out(cube(n));
    LAUNCH_KERNEL(kernelCalcDensity, voxelGrid(n), voxelBlock(), 0, in.get(), out.get(), n);
    const std::vector<float> coarse = out.download();
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                float sum = 0.0f;
                for (int offset = 0; offset < 8; ++offset) {
                    const int dx = offset >> 2, dy = (offset >> 1) & 1, dz = offset & 1;
                    sum += fine[(size_t(2 * z + dz) * m + 2 * y + dy) * m + 2 * x + dx];
                }
                ASSERT_EQ(coarse[(size_t(z) * n + y) * n + x], sum * 0.125f) << x << " " << y << " " << z;
            }
}

TEST_F(PyramidTest, IsBuiltOnlyFromTheFullEdge) {
    allocateBuffers(128);
    gridSize = 64;
    EXPECT_THROW(buildDensityPyramid(), Failure);
    gridSize = 128;
}

TEST_F(PyramidTest, StopsAtTheFirstLevelNoKernelCanCover) {
    // 160 has a level of edge 80: it stays unbuilt rather than half computed.
    allocateBuffers(160);
    uploadVolume(densityLevels[0], std::vector<float>(cube(160), 1.0f));
    EXPECT_NO_THROW(buildDensityPyramid());
}

TEST_F(PyramidTest, VolumeLaunchesRefuseEdgesThatAreNotMultiplesOf32) {
    for (int edge : {0, 48, 80, -32}) {
        EXPECT_THROW(voxelGrid(edge), Failure) << edge;
        EXPECT_THROW(rowGrid(edge), Failure) << edge;
    }
    EXPECT_NO_THROW(voxelGrid(96));
}

}  // namespace
CVT_END_NAMESPACE
