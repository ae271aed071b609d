// The whole labelling through computeVoronoi against the brute-force reference, on random and
// adversarial site sets, and the contract of the ping-pong buffers.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "device_test_support.h"
#include "host/site_code.h"
#include "host/buffers.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

size_t cube(int n) { return size_t(n) * n * n; }

class LabellingTest : public DeviceTest {
protected:
    void TearDown() override { releaseBuffers(); }

    // Labels `sites` on a grid of edge n in the buffer set (allocated for an edge of at least n).
    static std::vector<int> label(const std::vector<int>& siteVolume, int n) {
        gridSize = n;
        uploadVolume(voronoiBuffers[voronoiIndex], siteVolume);
        computeVoronoi();
        return downloadVolume(currentSites, cube(n));
    }

    // Compares the labelling of `sites` with brute force and reports the first differing voxels.
    static void expectExact(const std::vector<Site>& sites, int n, const std::string& what) {
        const std::vector<int> labels = label(siteVolume(sites, n), n);
        const std::vector<int> expected = bruteForceLabelling(sites, n);
        size_t differences = 0;
        for (size_t v = 0; v < labels.size(); ++v) {
            if (labels[v] == expected[v]) continue;
            if (++differences > 3) continue;
            const int x = int(v % n), y = int(v / n % n), z = int(v / (size_t(n) * n));
            ADD_FAILURE() << what << ": voxel " << x << "," << y << "," << z << " got " << describe(labels[v])
                          << ", nearest is " << describe(expected[v]);
        }
        EXPECT_EQ(differences, 0u) << what << " (" << sites.size() << " sites, edge " << n << ")";
    }

    static std::string describe(int code) {
        if (code < 0) return "EMPTY_SITE";
        return "(" + std::to_string(siteX(code)) + "," + std::to_string(siteY(code)) + "," + std::to_string(siteZ(code)) +
               ")";
    }
};

// `count` random sites with every coordinate a multiple of `step` in [0, n): coarse steps put many
// voxels at equal distance from several sites.
std::vector<Site> randomSites(std::mt19937& random, int n, int count, int step) {
    std::uniform_int_distribution<int> coordinate(0, (n - 1) / step);
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s)
        sites.push_back({coordinate(random) * step, coordinate(random) * step, coordinate(random) * step});
    return distinct(sites);
}

// `count` sites within a cube of edge `spread` around a random centre.
std::vector<Site> clusteredSites(std::mt19937& random, int n, int count, int spread) {
    std::uniform_int_distribution<int> centre(0, n - spread), offset(0, spread - 1);
    const int cx = centre(random), cy = centre(random), cz = centre(random);
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s) sites.push_back({cx + offset(random), cy + offset(random), cz + offset(random)});
    return distinct(sites);
}

// Every voxel of the box [x0, x1) x [y0, y1) x [z0, z1) whose coordinates pass `keep`.
template <class Keep>
std::vector<Site> box(int x0, int x1, int y0, int y1, int z0, int z1, Keep keep) {
    std::vector<Site> sites;
    for (int z = z0; z < z1; ++z)
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (keep(x, y, z)) sites.push_back({x, y, z});
    return sites;
}

const auto everyVoxel = [](int, int, int) { return true; };

TEST_F(LabellingTest, NoSiteLeavesEveryVoxelEmpty) {
    allocateBuffers(64);
    for (int n : {32, 64}) {
        const std::vector<int> labels = label(std::vector<int>(cube(n), EMPTY_SITE), n);
        EXPECT_EQ(labels, std::vector<int>(cube(n), EMPTY_SITE)) << n;
    }
    // Any negative value is "no site".
    std::vector<int> negatives(cube(32));
    std::mt19937 random(1);
    for (int& v : negatives) v = std::uniform_int_distribution<int>(INT32_MIN, -1)(random);
    EXPECT_EQ(label(negatives, 32), std::vector<int>(cube(32), EMPTY_SITE));
}

TEST_F(LabellingTest, SingleSiteOwnsEveryVoxel) {
    allocateBuffers(64);
    for (int n : {32, 64})
        for (Site s : {Site{0, 0, 0}, Site{n - 1, n - 1, n - 1}, Site{n - 1, 0, 0}, Site{0, n - 1, 0}, Site{0, 0, n - 1},
                       Site{n / 2, n / 3, n / 5}, Site{3, n - 2, 17}}) {
            const std::vector<int> labels = label(siteVolume({s}, n), n);
            ASSERT_EQ(labels, std::vector<int>(cube(n), encodeSite(s.x, s.y, s.z))) << n << ": " << s.x << "," << s.y << "," << s.z;
        }
}

TEST_F(LabellingTest, TiesFollowTheRuleOnEachAxis) {
    allocateBuffers(64);
    const int n = 32;
    struct Case {
        std::vector<Site> sites;
        Site voxel, owner;
    };
    const Case cases[] = {
        {{{2, 5, 5}, {6, 5, 5}}, {4, 5, 5}, {2, 5, 5}},
        {{{5, 2, 5}, {5, 6, 5}}, {5, 4, 5}, {5, 2, 5}},
        {{{5, 5, 2}, {5, 5, 6}}, {5, 5, 4}, {5, 5, 6}},
        {{{5, 0, 5}, {5, 2, 7}, {5, 4, 5}}, {5, 2, 5}, {5, 0, 5}},
    };
    for (const Case& c : cases) {
        const std::vector<int> labels = label(siteVolume(c.sites, n), n);
        EXPECT_EQ(labels[(size_t(c.voxel.z) * n + c.voxel.y) * n + c.voxel.x], encodeSite(c.owner.x, c.owner.y, c.owner.z));
        expectExact(c.sites, n, "tie case");
    }
}

TEST_F(LabellingTest, TwoSites) {
    allocateBuffers(64);
    std::mt19937 random(2);
    for (int round = 0; round < 12; ++round) {
        const int n = round < 8 ? 32 : 64;
        std::vector<Site> sites = randomSites(random, n, 2, 1);
        expectExact(sites, n, "two random sites");
    }
    // Mirror images across a plane of each axis, and across the grid's centre.
    for (const auto& sites : std::vector<std::vector<Site>>{{{10, 20, 30}, {50, 20, 30}},
                                                            {{7, 3, 40}, {7, 61, 40}},
                                                            {{0, 31, 9}, {0, 31, 63}},
                                                            {{0, 0, 0}, {63, 63, 63}},
                                                            {{1, 62, 5}, {62, 1, 58}}})
        expectExact(sites, 64, "two symmetric sites");
}

TEST_F(LabellingTest, SitesOnALineAndOnAPlane) {
    allocateBuffers(64);
    const int n = 64;
    std::mt19937 random(3);
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<Site> line, plane;
        for (int t = 0; t < n; ++t) {
            if (t % 3 != 0) continue;
            const int a = 17, b = 40;
            line.push_back(axis == 0 ? Site{t, a, b} : axis == 1 ? Site{a, t, b} : Site{a, b, t});
        }
        for (int s = 0; s < 60; ++s) {
            const int u = std::uniform_int_distribution<int>(0, n - 1)(random);
            const int v = std::uniform_int_distribution<int>(0, n - 1)(random);
            plane.push_back(axis == 0 ? Site{29, u, v} : axis == 1 ? Site{u, 29, v} : Site{u, v, 29});
        }
        expectExact(line, n, "sites on a line along axis " + std::to_string(axis));
        expectExact(distinct(plane), n, "sites on a plane across axis " + std::to_string(axis));
    }
    // A full line of sites: every voxel's nearest lies straight across.
    expectExact(box(0, n, 5, 6, 60, 61, everyVoxel), n, "full line");
}

TEST_F(LabellingTest, DenseSites) {
    allocateBuffers(64);
    expectExact(box(20, 26, 30, 35, 40, 44, everyVoxel), 64, "every voxel of a block");
    expectExact(box(0, 32, 0, 32, 0, 32, [](int x, int y, int z) { return x % 2 == 0 && y % 2 == 0 && z % 2 == 0; }),
                32, "every 2nd voxel along each axis");
    expectExact(box(0, 32, 0, 32, 0, 32, [](int x, int y, int z) { return (x + y + z) % 2 == 0; }), 32,
                "every 2nd voxel, checkerboard");
    expectExact(box(8, 24, 8, 24, 8, 24, everyVoxel), 32, "a solid cube of sites");
}

TEST_F(LabellingTest, SymmetricLatticesForceTiesOnEveryAxis) {
    allocateBuffers(64);
    // Sites on a lattice: the voxels halfway between lattice points are equally near to 2, 4 or 8 sites.
    for (int step : {2, 4, 6, 8})
        for (int phase : {0, 1})
            expectExact(box(phase, 32, phase, 32, phase, 32,
                            [step, phase](int x, int y, int z) {
                                return (x - phase) % step == 0 && (y - phase) % step == 0 && (z - phase) % step == 0;
                            }),
                        32, "lattice step " + std::to_string(step));
    // The 8 corners of boxes centred in the grid and off centre.
    for (auto [lo, hi] : {std::pair{10, 22}, std::pair{3, 28}, std::pair{0, 31}, std::pair{5, 6}}) {
        expectExact(box(lo, hi + 1, lo, hi + 1, lo, hi + 1,
                        [lo = lo, hi = hi](int x, int y, int z) {
                            return (x == lo || x == hi) && (y == lo || y == hi) && (z == lo || z == hi);
                        }),
                    32, "box corners " + std::to_string(lo) + ".." + std::to_string(hi));
    }
}

TEST_F(LabellingTest, SitesOnFacesEdgesAndCorners) {
    allocateBuffers(64);
    const int n = 64, last = n - 1;
    expectExact(box(0, n, 0, n, 0, n,
                    [last](int x, int y, int z) {
                        return (x == 0 || x == last) && (y == 0 || y == last) && (z == 0 || z == last);
                    }),
                n, "grid corners");
    std::mt19937 random(4);
    std::uniform_int_distribution<int> coordinate(0, last), side(0, 1);
    std::vector<Site> faces, edges;
    for (int s = 0; s < 80; ++s) {
        Site site{coordinate(random), coordinate(random), coordinate(random)};
        int* axes[3] = {&site.x, &site.y, &site.z};
        const int pinned = s % 3;
        *axes[pinned] = side(random) * last;
        faces.push_back(site);
        *axes[(pinned + 1) % 3] = side(random) * last;
        edges.push_back(site);
    }
    expectExact(distinct(faces), n, "sites on the faces");
    expectExact(distinct(edges), n, "sites on the edges");
}

// Two hundred random sets at edge 32, with sparse, clustered and lattice-bound sites.
TEST_F(LabellingTest, HundredsOfRandomSiteSetsMatchBruteForce) {
    allocateBuffers(64);
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        const int count = std::uniform_int_distribution<int>(1, 40)(random);
        std::vector<Site> sites;
        switch (round % 4) {
            case 0: sites = randomSites(random, 32, count, 1); break;
            case 1: sites = randomSites(random, 32, count, 3); break;
            case 2: sites = clusteredSites(random, 32, count, 5); break;
            default: sites = randomSites(random, 32, count, 8); break;
        }
        expectExact(sites, 32, "random set " + std::to_string(round));
        if (HasFailure()) return;
    }
}

TEST_F(LabellingTest, RandomSiteSetsOnLargerGrids) {
    allocateBuffers(128);
    std::mt19937 random(6);
    for (int round = 0; round < 16; ++round) {
        const int step = round % 2 == 0 ? 1 : 4;
        expectExact(randomSites(random, 64, std::uniform_int_distribution<int>(1, 100)(random), step), 64,
                    "random set at 64, round " + std::to_string(round));
    }
    expectExact(randomSites(random, 128, 40, 1), 128, "random set at 128");
    expectExact(randomSites(random, 128, 30, 16), 128, "lattice-bound set at 128");
    expectExact(clusteredSites(random, 128, 30, 6), 128, "clustered set at 128");
}

TEST_F(LabellingTest, ThePingPongPairFlipsOnce) {
    allocateBuffers(64);
    const int n = 32;
    const std::vector<Site> sites{{3, 4, 5}, {20, 21, 22}};
    const std::vector<int> volume = siteVolume(sites, n);
    for (int start : {0, 1}) {
        voronoiIndex = start;
        int* const input = voronoiBuffers[start];
        int* const other = voronoiBuffers[start ^ 1];
        // The other buffer starts with stale chains and codes: nothing may depend on its content.
        std::mt19937 random(start);
        std::vector<int> stale(cube(64));
        for (int& v : stale) v = int(random());
        uploadVolume(other, stale);
        const std::vector<int> labels = label(volume, n);
        EXPECT_EQ(voronoiIndex, start ^ 1);
        EXPECT_EQ(currentSites, other);
        EXPECT_EQ(scratchSites, input);
        EXPECT_EQ(labels, bruteForceLabelling(sites, n));
        EXPECT_NE(downloadVolume(input, cube(n)), volume) << "the input site volume is consumed";
        // Only the leading n^3 elements of either buffer are touched.
        const std::vector<int> tail = downloadVolume(other, cube(64));
        EXPECT_TRUE(std::equal(tail.begin() + cube(n), tail.end(), stale.begin() + cube(n)));
    }
}

TEST_F(LabellingTest, UnusableGridEdgesAreRefusedBeforeAnyLaunch) {
    EXPECT_THROW(computeVoronoi(), Failure) << "no buffer set";
    allocateBuffers(64);
    voronoiIndex = 0;
    for (int n : {0, 16, 48, 65, 128, -32}) {
        gridSize = n;
        EXPECT_THROW(computeVoronoi(), Failure) << n;
        EXPECT_EQ(voronoiIndex, 0) << n;
    }
}

}  // namespace
CVT_END_NAMESPACE
