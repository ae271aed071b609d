// cvt-check's checks of connected regions and of adjacency tables: what the reference makes of exact
// labellings inside a C-shaped mask and of a part without a site passes, and every kind of spoilt
// labelling or table is caught; and the same through the files, as the command reads them.
#include "check/region_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "check/labels_file_check.h"
#include "connected_reference.h"
#include "formats/sites_csv.h"
#include "formats/volume_file.h"
#include "reference_labelling.h"
#include "tessellation/adjacency.h"

namespace cvt::check {
namespace {

// A masked scene on a grid that is its own box: ids from 1 by site, 0 outside.
struct Scene {
    GridBox box;
    std::vector<Site> sites;
    std::vector<uint32_t> nearest, connected;  // ids: of the exact labelling, and made connected
    std::vector<size_t> siteVoxels;
};

template <class Inside>
Scene sceneOf(const std::vector<Site>& sites, Inside insideMask) {
    const GridShape g = fullGrid(64, 64, 8);
    Scene scene{boxOf(g), sites, {}, {}, {}};
    std::vector<uint8_t> inside(size_t(g.voxels()));
    for (int z = 0; z < g.z; ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x) inside[size_t(g.index(x, y, z))] = insideMask(x, y, z);
    std::map<int, int> idOf;
    for (size_t id = 0; id < sites.size(); ++id) {
        idOf[g.codes.encode(sites[id].x, sites[id].y, sites[id].z)] = int(id) + 1;
        scene.siteVoxels.push_back(size_t(g.index(sites[id].x, sites[id].y, sites[id].z)));
    }
    const std::vector<int> exact = bruteForceLabelling(sites, g);
    const reference::ConnectedLabels made = reference::connectRegions(exact, g, inside, idOf);
    for (size_t v = 0; v < exact.size(); ++v) {
        scene.nearest.push_back(inside[v] ? uint32_t(idOf.at(exact[v])) : 0);
        scene.connected.push_back(inside[v] ? uint32_t(idOf.at(made.labels[v])) : 0);
    }
    return scene;
}

// A ring with a gap at +x, and apart from it a bar that no site reaches.
bool ringAndBar(int x, int y, int) {
    const double r = std::hypot(x - 28.0, y - 28.0);
    return (r > 8 && r < 24 && !(x > 28 && std::abs(y - 28) < 3)) || (x >= 58 && y >= 10);
}
const std::vector<Site> ringSites = {{45, 32, 4}, {10, 28, 2}, {28, 8, 6}, {28, 48, 1}, {10, 40, 5}};

std::optional<std::string> problemOf(const Scene& scene, const std::vector<uint32_t>& ids) {
    return connectedProblem(ids, scene.nearest, scene.box, 1, scene.siteVoxels);
}

TEST(RegionCheckTest, ConnectedRegionsPassAndSpoiltOnesAreCaught) {
    const Scene scene = sceneOf(ringSites, ringAndBar);
    ASSERT_NE(scene.nearest, scene.connected) << "the scene moves no voxel";
    EXPECT_EQ(problemOf(scene, scene.connected), std::nullopt);
    // The exact labelling has pieces cut off from their sites.
    EXPECT_NE(problemOf(scene, scene.nearest), std::nullopt);

    const GridShape g = fullGrid(64, 64, 8);
    // A voxel of a region's piece with its site, given to a neighbour: it is nearest to a site that
    // reaches it; a site's own voxel given away.
    std::vector<uint32_t> spoilt = scene.connected;
    const size_t inner = size_t(g.index(10, 29, 2));
    ASSERT_EQ(spoilt[inner], 2u);
    spoilt[inner] = 3;
    EXPECT_NE(problemOf(scene, spoilt), std::nullopt);
    spoilt = scene.connected;
    spoilt[scene.siteVoxels[1]] = 3;
    EXPECT_NE(problemOf(scene, spoilt), std::nullopt);
    // A piece of the bar, which no site reaches, may keep any label of its own.
    spoilt = scene.connected;
    spoilt[size_t(g.index(60, 40, 3))] = 5;
    EXPECT_EQ(problemOf(scene, spoilt), std::nullopt);
}

TEST(RegionCheckTest, AdjacencyTablesAreComparedRowByRow) {
    const Scene scene = sceneOf(ringSites, ringAndBar);
    const Spacing spacing{0.7, 0.7, 2.5};
    const std::vector<formats::AdjacencyRow> rows = volume::labelAdjacency(scene.connected, scene.box, spacing);
    ASSERT_GT(rows.size(), 4u);
    EXPECT_EQ(adjacencyProblem(rows, scene.connected, scene.box, spacing), std::nullopt);
    struct Case {
        const char* what;
        void (*spoil)(std::vector<formats::AdjacencyRow>&);
    };
    for (const Case& c : {Case{"a row left out", [](auto& r) { r.erase(r.begin() + 2); }},
                          Case{"the last row left out", [](auto& r) { r.pop_back(); }},
                          Case{"a face more", [](auto& r) { ++r[1].faces; }},
                          Case{"another area", [](auto& r) { r[3].area *= 1.0001; }},
                          Case{"two rows exchanged", [](auto& r) { std::swap(r[0], r[1]); }},
                          Case{"regions that do not touch", [](auto& r) {
                                   r.push_back({900, 901, 1, 1.0});
                               }}}) {
        std::vector<formats::AdjacencyRow> spoilt = rows;
        c.spoil(spoilt);
        EXPECT_NE(adjacencyProblem(spoilt, scene.connected, scene.box, spacing), std::nullopt) << c.what;
    }
    EXPECT_NE(adjacencyProblem(rows, scene.connected, scene.box, {1, 1, 1}), std::nullopt) << "another spacing";
}

TEST(RegionCheckTest, TheFilesOfAConnectedRunPass) {
    char pattern[] = "/tmp/cvt-region-check-XXXXXX";
    const std::string directory = mkdtemp(pattern);
    const auto path = [&](const char* name) { return directory + "/" + name; };
    const Scene scene = sceneOf(ringSites, ringAndBar);
    std::vector<formats::SiteRow> rows;
    for (const Site& s : scene.sites) rows.push_back({s.x, s.y, s.z, 0.0, 0});
    for (const uint32_t id : scene.connected)
        if (id != 0) ++rows[id - 1].voxels;
    const formats::VolumeShape shape{scene.box.x, scene.box.y, scene.box.z};
    formats::writeSitesCsv(path("sites.csv"), rows, 1);
    formats::writeAdjacencyCsv(path("adjacency.csv"), volume::labelAdjacency(scene.connected, scene.box, {1, 1, 1}));
    const RegionChecks both{true, path("adjacency.csv")};
    for (const auto& [ids, connected, valid] :
         {std::tuple{&scene.connected, true, true}, std::tuple{&scene.connected, false, false},
          std::tuple{&scene.nearest, true, false}}) {
        formats::writeNpy(path("labels.npy"), ids->data(), formats::SampleType::uint32, shape, false);
        const LabelsFileVerdict verdict =
            checkLabelsFile(path("labels.npy"), path("sites.csv"), std::nullopt, std::nullopt, std::nullopt,
                            connected ? both : RegionChecks{});
        EXPECT_EQ(verdict.valid, valid) << verdict.problem;
        if (verdict.valid) {
            EXPECT_GT(verdict.awayFromNearest, 0u);
            EXPECT_TRUE(verdict.adjacentPairs);
        }
    }
    for (const char* name : {"labels.npy", "sites.csv", "adjacency.csv"}) std::remove(path(name).c_str());
    rmdir(directory.c_str());
}

}  // namespace
}  // namespace cvt::check
