// The buffer set: sizes, pyramid levels and clean release for several full edges.
#include "device_test_support.h"
#include "host/buffers.h"

CVT_BEGIN_NAMESPACE
namespace {

class BufferSetTest : public DeviceTest {
protected:
    void TearDown() override { releaseBuffers(); }
};

int allocatedLevels() {
    int levels = 0;
    for (int slot = 0; slot < maxPyramidLevels; ++slot) {
        if (densityLevels[slot] != nullptr) {
            EXPECT_EQ(slot, levels) << "pyramid slots must be filled from 0 without gaps";
            ++levels;
        }
    }
    return levels;
}

// Six volumes: the energy terms share the x-moment volume.
TEST_F(BufferSetTest, FullEdge256HoldsSixVolumesAndThreeLevels) {
    allocateBuffers(256);
    EXPECT_EQ(gridSize, 256);
    EXPECT_EQ(volumeBytes, 67108864u);
    EXPECT_EQ(allocatedLevels(), 3);
    EXPECT_EQ(bufferSetBytes(), 479199232u);
    EXPECT_EQ(bufferSetBytesFor(256), 479199232u);
    EXPECT_EQ(energyBuffer, momentBuffers[0]);
    EXPECT_NE(voronoiBuffers[0], voronoiBuffers[1]);
    // The largest level is written by a full-size upload; the smallest by a 64^3 kernel.
    uploadVolume(densityLevels[0], std::vector<float>(256 * 256 * 256, 1.0f));
    uploadVolume(densityLevels[2], std::vector<float>(64 * 64 * 64, 1.0f));
}

TEST_F(BufferSetTest, PyramidDepthFollowsTheEdge) {
    for (auto [edge, levels] : {std::pair{64, 1}, std::pair{128, 2}, std::pair{512, 4}}) {
        allocateBuffers(edge);
        const uint64_t volume = uint64_t(edge) * edge * edge * 4;
        uint64_t pyramid = 0;
        for (int level = 0; level < levels; ++level) pyramid += volume >> (3 * level);
        EXPECT_EQ(allocatedLevels(), levels) << edge;
        EXPECT_EQ(volumeBytes, volume);
        EXPECT_EQ(bufferSetBytes(), 6 * volume + pyramid) << edge;
        EXPECT_EQ(bufferSetBytesFor(edge), bufferSetBytes()) << edge;
        releaseBuffers();
        EXPECT_EQ(bufferSetBytes(), 0u);
        EXPECT_EQ(densityLevels, nullptr);
    }
}

TEST_F(BufferSetTest, UnusableGridsAndDoubleAllocationAreRefused) {
    // Sides off their steps or past 16384, a layout that is not the one of the sides, and float sums on a
    // grid with 64-bit codes (more than 30 bits of coordinates: 11 + 11 + 9, or asked for), refused
    // before anything is allocated.
    for (const GridShape& grid : {GridShape(0), GridShape(97), GridShape(48, 64, 64), GridShape(64, 48, 64),
                                  GridShape(64, 64, 6), fullGrid(16416, 32, 4), fullGrid(2048, 2048, 512),
                                  fullGrid(64, 32, 8, CodeWidth::wide), GridShape(2048, 32, 4)}) {
        EXPECT_THROW(allocateBuffers(grid), Failure) << shapeText(grid);
        EXPECT_THROW(bufferSetBytesFor(grid), Failure) << shapeText(grid);
        EXPECT_EQ(bufferSetBytes(), 0u);
    }
    EXPECT_EQ(fullGrid(2048, 32, 4).codes.xBits, 11);
    EXPECT_EQ(fullGrid(2048, 32, 4).codes.zBits, 2);
    // Site volumes (and a mask's inside maps) of 4 bytes a voxel, or 8 with 64-bit codes.
    for (const GridShape& grid : {GridShape(32), fullGrid(96, 64, 12), fullGrid(2048, 32, 4),
                                  fullGrid(96, 64, 12, CodeWidth::wide)})
        for (const bool masked : {false, true}) {
            allocateBuffers(grid, MomentSums::exact, masked);
            EXPECT_EQ(volumeBytes, uint64_t(grid.voxels()) * 4) << shapeText(grid);
            EXPECT_EQ(siteVolumeBytes, uint64_t(grid.voxels()) * grid.codes.codeBytes()) << shapeText(grid);
            const uint64_t levels = uint64_t(grid.voxels()) * (1 + (masked ? grid.codes.codeBytes() / 4 : 0)) * 4;
            EXPECT_EQ(bufferSetBytes(), 2 * siteVolumeBytes + levels + (masked ? 4 : 0)) << shapeText(grid);
            EXPECT_EQ(bufferSetBytesFor(grid, MomentSums::exact, masked), bufferSetBytes()) << shapeText(grid);
            EXPECT_THROW(allocateBuffers(grid), Failure);
            releaseBuffers();
        }
}

}  // namespace
CVT_END_NAMESPACE
