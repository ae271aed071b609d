// The level transition: every site carried to its doubled voxel of an emptied finer grid.
#include <random>
#include <vector>

#include "device_test_support.h"
#include "host/site_code.h"
#include "driver/transition.h"
#include "host/buffers.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int edge) { return size_t(edge) * edge * edge; }

class TransitionTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (IsSkipped()) return;
        allocateBuffers(128);
        voronoiIndex = 0;
        currentSites = voronoiBuffers[0];
        scratchSites = voronoiBuffers[1];
    }
    void TearDown() override { releaseBuffers(); }

    // Carries `sites` from the coarse grid to the one of twice its edge; returns the fine site volume.
    std::vector<int> advance(const std::vector<Site>& sites, int coarseEdge) {
        gridSize = coarseEdge;
        uploadVolume(currentSites, siteVolume(sites, coarseEdge));
        const int before = voronoiIndex;
        advanceLevel();
        EXPECT_EQ(voronoiIndex, before ^ 1);
        EXPECT_EQ(currentSites, voronoiBuffers[voronoiIndex]);
        EXPECT_EQ(scratchSites, voronoiBuffers[voronoiIndex ^ 1]);
        gridSize = 128;
        return downloadVolume(currentSites, cube(2 * coarseEdge));
    }
};

std::vector<Site> doubled(const std::vector<Site>& sites) {
    std::vector<Site> result;
    for (const Site& s : sites) result.push_back({2 * s.x, 2 * s.y, 2 * s.z});
    return result;
}

TEST_F(TransitionTest, SitesLandOnTheirDoubledVoxels) {
    std::mt19937 random(8);
    std::uniform_int_distribution<int> coordinate(0, 63);
    std::vector<Site> sites = {{0, 0, 0}, {63, 63, 63}, {63, 0, 17}};
    for (int k = 0; k < 200; ++k) sites.push_back({coordinate(random), coordinate(random), coordinate(random)});
    const std::vector<int> fine = advance(sites, 64);
    // Same sites, no others: every voxel with an odd coordinate is empty.
    EXPECT_EQ(fine, siteVolume(doubled(sites), 128));
    EXPECT_EQ(fine[0], 0);
    EXPECT_EQ(fine[(size_t(126) * 128 + 126) * 128 + 126], encodeSite(126, 126, 126));
}

TEST_F(TransitionTest, NoStaleSiteSurvivesFromALargerEarlierUse) {
    // The scratch volume holds sites everywhere on the full grid; the 32 -> 64 transition uses a part.
    std::vector<int> junk(cube(128));
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = encodeSite(int(i % 128), int(i / 128 % 128), int(i / 16384));
    uploadVolume(scratchSites, junk);
    const std::vector<Site> sites = {{1, 2, 3}, {31, 0, 31}};
    EXPECT_EQ(advance(sites, 32), siteVolume(doubled(sites), 64));
}

TEST_F(TransitionTest, ThereIsNoLevelAboveTheFullGrid) {
    gridSize = 128;
    EXPECT_THROW(advanceLevel(), Failure);
    EXPECT_EQ(voronoiIndex, 0);
}

}  // namespace
CVT_END_NAMESPACE
