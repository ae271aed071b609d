// Site seeding: the fixed placement that every run starts from, and the site volume it uploads.
#include <cstdint>
#include <ostream>
#include <set>
#include <tuple>
#include <vector>

#include "device_test_support.h"
#include "host/kiss_random.h"
#include "host/seeding.h"
#include "host/site_code.h"

CVT_BEGIN_NAMESPACE
namespace {

TEST(KissRandomTest, FromZeroOnlyTheCongruentialWordMoves) {
    SiteRandom random{1, 2, 3, 4};
    resetKiss(random);
    for (uint32_t expected : {1234567u, 3667164066u, 249762113u, 2231956628u}) EXPECT_EQ(drawKiss(random), expected);
    EXPECT_EQ(random.carryA, 0u);
    EXPECT_EQ(random.carryB, 0u);
    EXPECT_EQ(random.shiftRegister, 0u);
}

TEST(KissRandomTest, AllThreeGeneratorsTakePart) {
    // From a non-zero state each word changes the result: compare with the three generators by hand.
    SiteRandom random{123456789u, 362436069u, 521288629u, 380116160u};
    uint32_t a = random.carryA, b = random.carryB, shift = random.shiftRegister, lcg = random.congruence;
    for (int draw = 0; draw < 1000; ++draw) {
        a = 36969u * (a % 65536u) + a / 65536u;
        b = 18000u * (b % 65536u) + b / 65536u;
        lcg = lcg * 69069u + 1234567u;
        shift ^= shift << 17;
        shift ^= shift >> 13;
        shift ^= shift << 5;
        ASSERT_EQ(drawKiss(random), ((a * 65536u + b) ^ lcg) + shift) << draw;
    }
}

TEST(KissRandomTest, CoordinatesAreTheTopBitsOfADraw) {
    for (uint32_t draw : {0u, 1u, 1234567u, 3667164066u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
        for (int bits = 1; bits <= 10; ++bits) EXPECT_EQ(coordinateOfDraw(draw, 1 << bits), int(draw >> (32 - bits)));
    EXPECT_EQ(coordinateOfDraw(0xFFFFFFFFu, 1), 0);
    EXPECT_EQ(coordinateOfDraw(0xFFFFFFFFu, 1000), 999);
    EXPECT_EQ(coordinateOfDraw(0x80000000u, 3), 1);
}

struct Site {
    int x, y, z;
};
bool operator==(const Site& a, const Site& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
std::ostream& operator<<(std::ostream& out, const Site& s) { return out << "(" << s.x << ", " << s.y << ", " << s.z << ")"; }

// The placement by the rule itself: draws in threes, the first free voxel of each triple taken.
struct Placement {
    std::vector<Site> sites;
    int triples = 0;
};

Placement referencePlacement(int edge, int count) {
    uint32_t congruence = 0;
    const auto coordinate = [&] {
        congruence = congruence * 69069u + 1234567u;  // from a zero state a draw is this word
        return int((uint64_t(congruence) * uint64_t(edge)) >> 32);
    };
    Placement placement;
    std::set<std::tuple<int, int, int>> taken;
    while (int(placement.sites.size()) < count) {
        const int x = coordinate(), y = coordinate(), z = coordinate();
        ++placement.triples;
        if (taken.insert({x, y, z}).second) placement.sites.push_back({x, y, z});
    }
    return placement;
}

class SeedingTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (IsSkipped()) return;
        allocateBuffers(256);
    }
    void TearDown() override { releaseBuffers(); }

    // Seeds at edge E with gridSize = E / 2 and returns the uploaded site volume, after checking that
    // it equals the staging volume and that gridSize came back.
    std::vector<int> seed(int edge, int count, int bufferIndex = 0) {
        voronoiIndex = bufferIndex;
        gridSize = edge / 2;
        const size_t voxels = size_t(edge) * edge * edge;
        std::vector<int> staging(voxels, 12345);
        seedSites(staging.data(), count);
        EXPECT_EQ(gridSize, edge / 2);
        std::vector<int> uploaded = downloadVolume(voronoiBuffers[bufferIndex], voxels);
        EXPECT_EQ(uploaded, staging);
        return uploaded;
    }

    // Every voxel is empty except the given sites, each at its own voxel with its own code.
    static void expectSiteVolume(const std::vector<int>& volume, int edge, const std::vector<Site>& sites) {
        std::vector<int> expected(volume.size(), EMPTY_SITE);
        for (const Site& site : sites) expected[site.x + edge * (site.y + size_t(edge) * site.z)] = encodeSite(site.x, site.y, site.z);
        size_t differences = 0;
        for (size_t i = 0; i < volume.size(); ++i) differences += volume[i] != expected[i];
        EXPECT_EQ(differences, 0u);
    }
};

TEST_F(SeedingTest, TenThousandSitesOnTheFullGrid) {
    const std::vector<int> volume = seed(256, 10000);
    const Placement reference = referencePlacement(256, 10000);
    ASSERT_EQ(reference.sites.size(), 10000u);
    EXPECT_EQ(reference.triples, 10005);  // five triples land on occupied voxels
    EXPECT_EQ(reference.sites[0], (Site{0, 218, 14}));
    EXPECT_EQ(reference.sites[1], (Site{133, 241, 140}));
    EXPECT_EQ(reference.sites[2], (Site{153, 62, 19}));
    EXPECT_EQ(reference.sites.back(), (Site{186, 34, 197}));
    EXPECT_EQ(volume[973312], 223246);
    EXPECT_EQ(encodeSite(0, 218, 14), 223246);
    expectSiteVolume(volume, 256, reference.sites);
    // After 10,005 triples from zero, the generator is 30,015 draws along.
    SiteRandom replay{};
    for (int draw = 0; draw < 3 * 10005; ++draw) drawKiss(replay);
    EXPECT_EQ(siteRandom.congruence, replay.congruence);
}

TEST_F(SeedingTest, CoarserEdgesTakeTheTopBitsOfTheSameDraws) {
    const std::vector<int> edge128 = seed(128, 300);
    EXPECT_EQ(edge128[0 + 128 * (109 + 128 * 7)], encodeSite(0, 109, 7));
    expectSiteVolume(edge128, 128, referencePlacement(128, 300).sites);
    const std::vector<int> edge64 = seed(64, 2000, 1);
    EXPECT_EQ(edge64[0 + 64 * (54 + 64 * 3)], encodeSite(0, 54, 3));
    expectSiteVolume(edge64, 64, referencePlacement(64, 2000).sites);
}

TEST_F(SeedingTest, EverySeedingStartsFromTheSameState) {
    const std::vector<int> first = seed(128, 5000);
    siteRandom = SiteRandom{9, 9, 9, 9};
    EXPECT_EQ(seed(128, 5000, 1), first);
}

TEST_F(SeedingTest, NoSitesGiveAnEmptyVolume) {
    const std::vector<int> volume = seed(256, 0);
    expectSiteVolume(volume, 256, {});
    EXPECT_EQ(siteRandom.congruence, 0u);  // nothing drawn
}

TEST_F(SeedingTest, ACountUpToTheWholeGridIsPlaced) {
    const int voxels = 32 * 32 * 32;
    const std::vector<int> volume = seed(32, voxels);
    for (int x = 0; x < 32; ++x)
        for (int y = 0; y < 32; ++y)
            for (int z = 0; z < 32; ++z) ASSERT_EQ(volume[x + 32 * (y + 32 * z)], encodeSite(x, y, z));
}

TEST_F(SeedingTest, UnplaceableRequestsAreRefusedAndLeaveGridSizeAlone) {
    std::vector<int> staging(64 * 64 * 64);
    gridSize = 32;
    EXPECT_THROW(seedSites(staging.data(), 64 * 64 * 64 + 1), Failure);
    EXPECT_THROW(seedSites(staging.data(), -1), Failure);
    EXPECT_EQ(gridSize, 32);
    gridSize = 256;  // seeding edge 512, more than the buffers hold
    EXPECT_THROW(seedSites(staging.data(), 1), Failure);
    EXPECT_EQ(gridSize, 256);
}

// The sites of a site volume, in voxel order.
std::vector<Site> sitesIn(const std::vector<int>& volume, int edge) {
    std::vector<Site> sites;
    for (size_t i = 0; i < volume.size(); ++i)
        if (volume[i] >= 0) sites.push_back({int(i % edge), int(i / edge % edge), int(i / (size_t(edge) * edge))});
    return sites;
}

TEST_F(SeedingTest, PlacementsStayInTheirBoxAndFollowTheirSeed) {
    const int edge = 64;
    const GridBox box{50, 9, 33};
    std::vector<float> density(size_t(edge) * edge * edge, 0.0f);
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; x += 2) density[x + edge * (y + size_t(edge) * z)] = 1.0f + x % 5;
    struct Case {
        SitePlacement::Kind kind;
        uint64_t seed;
    };
    std::vector<std::vector<Site>> placements;
    for (const Case& c : {Case{SitePlacement::Kind::uniform, 0}, Case{SitePlacement::Kind::uniform, 0},
                          Case{SitePlacement::Kind::uniform, 99}, Case{SitePlacement::Kind::density, 0},
                          Case{SitePlacement::Kind::density, 99}, Case{SitePlacement::Kind::density, 99}}) {
        gridSize = edge / 2;
        std::vector<int> staging(size_t(edge) * edge * edge);
        SitePlacement placement;
        placement.kind = c.kind;
        placement.seed = c.seed;
        EXPECT_EQ(placeSites(staging.data(), 700, placement, box, 0, density.data()).size(), 700u);
        EXPECT_EQ(gridSize, edge / 2);
        const std::vector<Site> sites = sitesIn(staging, edge);
        ASSERT_EQ(sites.size(), 700u);
        for (const Site& s : sites) {
            ASSERT_TRUE(s.x < box.x && s.y < box.y && s.z < box.z) << s;
            if (c.kind == SitePlacement::Kind::density) ASSERT_GT(density[s.x + edge * (s.y + size_t(edge) * s.z)], 0.0f) << s;
        }
        placements.push_back(sites);
    }
    EXPECT_EQ(placements[0], placements[1]) << "the same seed places the same sites";
    EXPECT_NE(placements[0], placements[2]);
    EXPECT_NE(placements[3], placements[4]);
    EXPECT_EQ(placements[4], placements[5]);
}

TEST_F(SeedingTest, DensityPlacementNeedsEnoughPositiveVoxelsAndFavoursDenseOnes) {
    const int edge = 32;
    std::vector<float> density(size_t(edge) * edge * edge, 0.0f);
    for (size_t i = 0; i < 1000; ++i) density[i * 7] = i % 2 == 0 ? 1.0f : 9.0f;
    SitePlacement placement;
    placement.kind = SitePlacement::Kind::density;
    std::vector<int> staging(density.size());
    gridSize = edge / 2;
    EXPECT_THROW(placeSites(staging.data(), 1001, placement, cubeBox(edge), 0, density.data()), Failure);
    EXPECT_EQ(placeSites(staging.data(), 1000, placement, cubeBox(edge), 0, density.data()).size(), 1000u);
    // Drawing 100 of them, the voxels of weight 9 come out about nine times as often.
    int heavy = 0;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        placement.seed = seed;
        placeSites(staging.data(), 100, placement, cubeBox(edge), 0, density.data());
        for (const Site& s : sitesIn(staging, edge)) heavy += density[s.x + edge * (s.y + size_t(edge) * s.z)] > 1.0f;
    }
    EXPECT_GT(heavy, 20 * 100 * 80 / 100);
    EXPECT_LT(heavy, 20 * 100 * 98 / 100);
}

TEST_F(SeedingTest, GivenSitesAreHalvedOnCoarserLevelsAndMergeThere) {
    const int edge = 32;  // level 1 of a 64-grid
    SitePlacement placement;
    placement.kind = SitePlacement::Kind::given;
    placement.sites = {{0, 0, 0}, {1, 1, 1}, {63, 10, 5}, {62, 11, 4}, {20, 40, 60}};
    std::vector<int> staging(size_t(edge) * edge * edge);
    gridSize = edge / 2;
    // In the order given, the first of those that share a coarse voxel standing for them.
    const SiteList placed = placeSites(staging.data(), 0, placement, cubeBox(edge), 1, nullptr);
    EXPECT_EQ(placed.codes, (std::vector<int64_t>{encodeSite(0, 0, 0), encodeSite(31, 5, 2), encodeSite(10, 20, 30)}));
    EXPECT_EQ(placed.origins, (std::vector<uint32_t>{0, 2, 4}));
    EXPECT_EQ(sitesIn(staging, edge), (std::vector<Site>{{0, 0, 0}, {31, 5, 2}, {10, 20, 30}}));
    placement.sites.push_back({64, 0, 0});
    EXPECT_THROW(placeSites(staging.data(), 0, placement, cubeBox(edge), 1, nullptr), Failure);
}

TEST(SeedingWithoutBuffersTest, IsRefused) {
    std::vector<int> staging(64 * 64 * 64);
    gridSize = 32;
    EXPECT_THROW(seedSites(staging.data(), 1), Failure);
    EXPECT_EQ(gridSize, 32);
}

}  // namespace
CVT_END_NAMESPACE
