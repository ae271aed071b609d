// 64-bit site codes against 32-bit ones, on grids that 32 bits hold with the wide layout asked for:
// the labelling through computeVoronoi (both against brute force), the region sums, the connected
// regions and whole runs with exact sums, which must all give the same sites and labels to the bit;
// and a labelling across the 2^31-voxel index boundary, where the memory holds one.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "centroid/region_sums.h"
#include "blob_scene.h"
#include "device/host_memory.h"
#include "device_test_support.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "host/device_codes.h"
#include "lattice_labelling.h"
#include "reference_labelling.h"
#include "voronoi/connected_regions.h"
#include "voronoi/slab_sites.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

class WideCodesTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }
};

constexpr CodeWidth widths[] = {CodeWidth::fitting, CodeWidth::wide};

GridShape withWidth(const GridShape& g, CodeWidth width) { return fullGrid(g.x, g.y, g.z, width); }

// A labelling as 64-bit codes, "no site" as the most negative.
template <class Code>
std::vector<int64_t> asWide(const std::vector<Code>& codes) {
    std::vector<int64_t> wide(codes.size());
    for (size_t v = 0; v < codes.size(); ++v) wide[v] = codes[v] >= 0 ? int64_t(codes[v]) : emptySite<int64_t>;
    return wide;
}

std::vector<Site> randomSites(const GridShape& g, int count, int step, std::mt19937& random) {
    std::vector<Site> sites;
    const auto coordinate = [&](int side) { return int(random() % unsigned((side + step - 1) / step)) * step; };
    for (int s = 0; s < count; ++s) sites.push_back({coordinate(g.x), coordinate(g.y), coordinate(g.z)});
    return distinct(sites);
}

// Random sites, sites 4 apart (many voxels at equal distances from several), a cluster, a lattice, the
// grid's corners, and one site.
std::vector<std::vector<Site>> siteSets(const GridShape& g, std::mt19937& random) {
    std::vector<Site> cluster, corners;
    for (int s = 0; s < 30; ++s)
        cluster.push_back({int(random() % 5u) + g.x / 2, int(random() % 5u) + g.y / 3, int(random() % 5u) % g.z});
    for (int corner = 0; corner < 8; ++corner)
        corners.push_back({corner & 1 ? g.x - 1 : 0, corner & 2 ? g.y - 1 : 0, corner & 4 ? g.z - 1 : 0});
    Lattice lattice = evenLattice(std::min({g.x, g.y, g.z}), {3, 2, 3});
    return {randomSites(g, 40, 1, random), randomSites(g, 40, 4, random), distinct(cluster), latticeSites(lattice),
            corners, {{g.x / 3, g.y - 1, g.z / 2}}};
}

TEST_F(WideCodesTest, LabellingsAreExactAndTheSameInBothWidths) {
    std::mt19937 random(21);
    const AxisWeights weightSets[] = {{1, 1, 1}, {49, 49, 625}, {1, 400, 9}};
    for (const GridShape& narrow : {fullGrid(32, 32, 32), fullGrid(64, 32, 40), fullGrid(96, 64, 12)}) {
        const std::vector<std::vector<Site>> sets = siteSets(narrow, random);
        std::vector<std::vector<int64_t>> labellings[2];
        for (const CodeWidth width : widths) {
            const GridShape g = withWidth(narrow, width);
            allocateBuffers(g, MomentSums::exact);
            for (const std::vector<Site>& sites : sets)
                for (const AxisWeights& w : weightSets) {
                    withCodeType(g.codes.wide, [&](auto code) {
                        using Code = decltype(code);
                        uploadVolume(codesIn<Code>(voronoiBuffers[voronoiIndex]), siteVolume<Code>(sites, g));
                    });
                    computeVoronoi(w);
                    labellings[g.codes.wide].push_back(downloadCodes(currentSites, 0, size_t(g.voxels()), g.codes.wide));
                }
            releaseBuffers();
        }
        size_t labelling = 0;
        for (const std::vector<Site>& sites : sets)
            for (const AxisWeights& w : weightSets) {
                SCOPED_TRACE(shapeText(narrow) + ", " + std::to_string(sites.size()) + " sites, weights " +
                             std::to_string(w.x) + " " + std::to_string(w.y) + " " + std::to_string(w.z));
                const std::vector<int64_t> expected = bruteForceLabelling<int64_t>(sites, narrow, {w.x, w.y, w.z});
                EXPECT_TRUE(labellings[0][labelling] == expected) << "32-bit codes";
                EXPECT_TRUE(labellings[1][labelling] == expected) << "64-bit codes";
                ++labelling;
            }
    }
}

// The sums of an exact labelling with a site missing from the table (its voxels add nothing) and a few
// voxels of no site, over a random density.
TEST_F(WideCodesTest, RegionSumsAreTheSameInBothWidths) {
    std::mt19937 random(22);
    const GridShape narrow = fullGrid(64, 96, 12);
    const std::vector<Site> sites = randomSites(narrow, 50, 1, random);
    std::vector<float> density(size_t(narrow.voxels()));
    for (float& d : density) d = float(random() % 1000u) / 999.0f;
    const DeviceArray<float> deviceDensity(density);
    std::vector<size_t> empty(100);
    for (size_t& voxel : empty) voxel = random() % density.size();
    std::vector<std::vector<SiteSums>> sums;
    for (const CodeWidth width : widths) {
        const GridShape g = withWidth(narrow, width);
        withCodeType(g.codes.wide, [&](auto code) {
            using Code = decltype(code);
            std::vector<Code> labels = bruteForceLabelling<Code>(sites, g);
            for (const size_t voxel : empty) labels[voxel] = emptySite<Code>;
            std::vector<Code> table;
            for (size_t s = 1; s < sites.size(); ++s) table.push_back(g.codes.encode<Code>(sites[s].x, sites[s].y, sites[s].z));
            std::sort(table.begin(), table.end());
            const DeviceArray<Code> deviceLabels(labels), deviceTable(table);
            DeviceArray<SiteSums> deviceSums(std::vector<SiteSums>(table.size()));
            launchRegionSums(deviceLabels.get(), deviceDensity.get(), deviceTable.get(), int(table.size()),
                             deviceSums.get(), 0, g.z, g);
            sums.push_back(deviceSums.download());
        });
    }
    ASSERT_EQ(sums[0].size(), sums[1].size());
    for (size_t s = 0; s < sums[0].size(); ++s)
        for (int k = 0; k < siteSumCount; ++k)
            EXPECT_TRUE(sums[0][s].values[k].value() == sums[1][s].values[k].value()) << "site " << s << ", sum " << k;
}

// Labels scattered in blocks, every site on its own voxel, inside a mask of blocks and in a box smaller
// than the grid: many pieces to move, and some that no site reaches.
TEST_F(WideCodesTest, ConnectedRegionsAreTheSameInBothWidths) {
    std::mt19937 random(23);
    const GridShape narrow = fullGrid(64, 96, 40);
    const GridBox box{50, 70, 37};
    std::vector<Site> sites = randomSites(GridShape(50, 70, 37), 14, 1, random);
    std::vector<int64_t> blockCode(997);
    for (int64_t& code : blockCode) {
        const Site& s = sites[random() % sites.size()];
        code = narrow.codes.encode(s.x, s.y, s.z);
    }
    std::vector<int64_t> results[2];
    for (const CodeWidth width : widths) {
        const GridShape g = withWidth(narrow, width);
        withCodeType(g.codes.wide, [&](auto code) {
            using Code = decltype(code);
            std::vector<Code> labels(size_t(g.voxels())), nearestInside(labels.size()), codes;
            for (int z = 0; z < g.z; ++z)
                for (int y = 0; y < g.y; ++y)
                    for (int x = 0; x < g.x; ++x) {
                        const size_t v = size_t(g.index(x, y, z));
                        labels[v] = Code(blockCode[size_t(x / 3 + 7 * (y / 3) + 31 * (z / 2)) % 997]);
                        nearestInside[v] = g.codes.encode<Code>((x / 4 + y / 5 + z / 3) % 4 != 0 ? x : x / 2, y, z);
                    }
            for (const Site& s : sites) {
                labels[size_t(g.index(s.x, s.y, s.z))] = g.codes.encode<Code>(s.x, s.y, s.z);
                nearestInside[size_t(g.index(s.x, s.y, s.z))] = g.codes.encode<Code>(s.x, s.y, s.z);
                codes.push_back(g.codes.encode<Code>(s.x, s.y, s.z));
            }
            std::sort(codes.begin(), codes.end());
            std::vector<int> ids(codes.size());
            for (size_t id = 0; id < ids.size(); ++id) ids[id] = int(ids.size() - id);
            DeviceArray<Code> deviceLabels(labels), scratch(labels.size());
            const DeviceArray<Code> mask(nearestInside), deviceCodes(codes);
            const DeviceArray<int> deviceIds(ids);
            const ConnectedRegionsCount count =
                makeRegionsConnected(deviceLabels.get(), scratch.get(), g, box, mask.get(),
                                     DeviceSiteTable<Code>{deviceCodes.get(), deviceIds.get(), int(codes.size())});
            EXPECT_GT(count.movedVoxels, 0u);
            results[g.codes.wide] = asWide(deviceLabels.download());
            results[g.codes.wide].push_back(int64_t(count.movedVoxels));
            results[g.codes.wide].push_back(int64_t(count.apartPieces));
        });
    }
    EXPECT_TRUE(results[0] == results[1]);
}

// What a whole run gives: the final labelling, the sites and their origins, every decision, and how
// it ended.
struct RunResult {
    std::vector<int64_t> labelling;
    SiteList sites;
    std::vector<CvtDecision> decisions;
    CvtStop stop;
    int plainSteps;
    uint64_t insideMoves, connectedMoves;
};

RunResult runScene(const BlobScene& c, const GridShape& g) {
    const BlobVolumes volumes = blobVolumes(c.box, c.masked);
    allocateBuffers(g, MomentSums::exact, c.masked);
    std::vector<int64_t> result(size_t(g.voxels()));  // room for codes of either width
    CvtRequest request = blobRequest(c, volumes, result.data(), 5);
    request.maxIterations = 60;
    request.idsFollowPlacement = !c.given.empty();
    runCvt(request);
    releaseBuffers();
    const CvtRunReport& report = lastCvtRun();
    RunResult run{{}, report.finalSites, report.decisions, report.stop, report.plainSteps, report.insideMoves,
                  report.connectedMoves};
    run.labelling = withCodeType(g.codes.wide, [&](auto code) {
        using Code = decltype(code);
        const Code* codes = reinterpret_cast<const Code*>(result.data());
        return asWide(std::vector<Code>(codes, codes + result.size()));
    });
    return run;
}

TEST_F(WideCodesTest, WholeRunsWithExactSumsAreTheSameInBothWidths) {
    const BlobScene scenes[] = {
        {"a blob in a box", fullGrid(64, 64, 24), {48, 40, 21}, 50, 1, {1, 1, 1}, false, {}},
        {"decimal spacing over two levels", fullGrid(128, 64, 32), {128, 64, 32}, 40, 2, {0.7, 0.7, 2.5}, false,
         {}},
        {"a ring-shaped mask, connected regions", fullGrid(64, 64, 64), {64, 64, 64}, 24, 1, {1, 1, 1}, true, {},
         true},
        {"given sites that merge", fullGrid(64, 32, 16), {60, 30, 16}, 0, 1, {1, 2, 1}, false,
         {{0, 0, 0}, {59, 0, 15}, {30, 29, 8}, {31, 29, 8}, {10, 10, 10}}, true},
    };
    for (const BlobScene& c : scenes) {
        SCOPED_TRACE(c.what);
        const RunResult narrow = runScene(c, c.grid), wide = runScene(c, withWidth(c.grid, CodeWidth::wide));
        EXPECT_TRUE(wide.labelling == narrow.labelling);
        EXPECT_EQ(wide.sites.codes, narrow.sites.codes);
        EXPECT_EQ(wide.sites.origins, narrow.sites.origins);
        ASSERT_EQ(wide.decisions.size(), narrow.decisions.size());
        for (size_t d = 0; d < narrow.decisions.size(); ++d) {
            EXPECT_EQ(wide.decisions[d].iteration, narrow.decisions[d].iteration);
            EXPECT_EQ(wide.decisions[d].energy, narrow.decisions[d].energy);
            EXPECT_EQ(wide.decisions[d].relaxation, narrow.decisions[d].relaxation);
            EXPECT_EQ(wide.decisions[d].sitesMoved, narrow.decisions[d].sitesMoved);
        }
        EXPECT_EQ(wide.stop, narrow.stop);
        EXPECT_EQ(wide.plainSteps, narrow.plainSteps);
        EXPECT_EQ(wide.insideMoves, narrow.insideMoves);
        EXPECT_EQ(wide.connectedMoves, narrow.connectedMoves);
    }
}

// The nearest of `sites` to voxel (x, y, z) of g, by brute force, as a code of g.
int64_t nearestSite(const std::vector<Site>& sites, const GridShape& g, int x, int y, int z) {
    const Site* best = nullptr;
    int64_t bestDistance = INT64_MAX;
    for (const Site& s : sites) {
        const int64_t dx = x - s.x, dy = y - s.y, dz = z - s.z, d = dx * dx + dy * dy + dz * dz;
        if (d < bestDistance || (d == bestDistance && preferredOnTie(s, *best))) best = &s, bestDistance = d;
    }
    return g.codes.encode(best->x, best->y, best->z);
}

// A grid of more than 2^31 voxels, whose fields take 32 bits (11 + 10 + 11), labelled and summed with
// its voxels' indices past 2^31: sampled voxels there against brute force, and every voxel's weight in
// the sums of the sites. It needs 20 bytes a voxel, 43 GB: skipped where the device has less free.
TEST_F(WideCodesTest, ALabellingAcrossTheIndexBoundary) {
    const GridShape g = fullGrid(2048, 1024, 1028);
    ASSERT_GT(g.voxels(), int64_t{1} << 31);
    ASSERT_TRUE(g.codes.wide);
    const uint64_t needs = bufferSetBytesFor(g, MomentSums::exact);
    size_t free = 0, total = 0;
    checkCuda(cudaMemGetInfo(&free, &total), "asking the device for its free memory");
    uint64_t available = free;
    if (deviceMemoryIsHostMemory()) available = std::min<uint64_t>(available, availableHostMemory().value_or(0));
    if (available < needs + needs / 10)
        GTEST_SKIP() << "a grid of " << g.voxels() << " voxels needs " << needs / 1000000 << " MB of device memory; "
                     << available / 1000000 << " MB available";

    std::mt19937 random(24);
    std::vector<Site> sites = randomSites(g, 40, 1, random);
    for (const Site s : {Site{0, 0, 1027}, Site{2047, 1023, 1027}, Site{1000, 600, 1025}, Site{5, 1000, 1024}})
        sites.push_back(s);
    sites = distinct(sites);
    std::vector<int64_t> codes;
    for (const Site& s : sites) codes.push_back(g.codes.encode(s.x, s.y, s.z));
    std::sort(codes.begin(), codes.end());

    allocateBuffers(g, MomentSums::exact);
    DeviceCodes voxels(codes.size(), true, "voxels"), entryCodes(codes.size(), true, "codes"),
        table(codes.size(), true, "site codes");
    uploadSlabSites(slabSiteEntries(codes, g, 0, g.z), voxels, entryCodes);
    computeVoronoi();
    const int64_t boundary = int64_t{1} << 31;
    for (int sample = 0; sample < 2000; ++sample) {
        const int64_t voxel = sample == 0 ? g.voxels() - 1 : boundary - (1 << 22) + int64_t(random() % (g.voxels() - boundary + (1 << 22)));
        const int x = int(voxel % g.x), y = int(voxel / g.x % g.y), z = int(voxel / (int64_t(g.x) * g.y));
        int64_t label = 0;
        checkCuda(cudaMemcpy(&label, codesIn<int64_t>(currentSites) + voxel, sizeof label, cudaMemcpyDeviceToHost),
                  "reading a label");
        ASSERT_EQ(label, nearestSite(sites, g, x, y, z)) << "voxel " << x << ", " << y << ", " << z;
    }

    // Every voxel weighs the same; the bytes 0x3F make the float 0.747...
    checkCuda(cudaMemset(densityLevels[0], 0x3F, size_t(g.voxels()) * sizeof(float)), "filling the density");
    float level;
    const uint32_t bits = 0x3F3F3F3Fu;
    std::memcpy(&level, &bits, sizeof level);
    table.upload(codes.data(), codes.size(), "uploading the site codes");
    DeviceArray<SiteSums> sums(std::vector<SiteSums>(codes.size()));
    launchRegionSums(codesIn<int64_t>(currentSites), densityLevels[0], table.get<int64_t>(), int(codes.size()),
                     sums.get(), 0, g.z, g);
    UInt128 mass = 0;
    for (const SiteSums& site : sums.download()) mass += site.values[sumMass].value();
    EXPECT_TRUE(mass == UInt128(densityWeight(level)) * uint64_t(g.voxels()));
}

}  // namespace
CVT_END_NAMESPACE
