// Regions made connected on the device against a flood-fill reference, voxel for voxel: exact labellings
// inside a C-shaped mask and a folded one, ties between neighbours, a part of the mask without a site,
// and random labellings with and without masks on grids of several tiles; and what every result must
// satisfy, whatever the rule: each piece holds its site unless no site can reach it.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "connected_reference.h"
#include "device_test_support.h"
#include "reference_labelling.h"
#include "voronoi/connected_regions.h"

CVT_BEGIN_NAMESPACE
namespace {

// A labelling of grid g in `box`, the voxels of its regions, and its site table.
struct Scene {
    GridShape g;
    GridBox box;
    std::vector<int> labels;
    std::vector<uint8_t> inside;  // in the box and the mask, by grid voxel
    bool masked = false;
    std::vector<int> codes, ids;  // increasing codes
};

Scene sceneOf(const GridShape& g, GridBox box) {
    Scene scene{g, box, {}, std::vector<uint8_t>(size_t(g.voxels()), 0)};
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) scene.inside[size_t(g.index(x, y, z))] = 1;
    return scene;
}

template <class Inside>
void applyMask(Scene& scene, Inside insideMask) {
    scene.masked = true;
    for (int z = 0; z < scene.g.z; ++z)
        for (int y = 0; y < scene.g.y; ++y)
            for (int x = 0; x < scene.g.x; ++x)
                if (!insideMask(x, y, z)) scene.inside[size_t(scene.g.index(x, y, z))] = 0;
}

// Sites at the given voxels, ids in the order given (not the order of the codes).
void setSites(Scene& scene, const std::vector<Site>& sites) {
    std::vector<std::pair<int, int>> table;
    for (size_t id = 0; id < sites.size(); ++id)
        table.emplace_back(scene.g.codes.encode(sites[id].x, sites[id].y, sites[id].z), int(id));
    std::sort(table.begin(), table.end());
    scene.codes.clear(), scene.ids.clear();
    for (const auto& [code, id] : table) scene.codes.push_back(code), scene.ids.push_back(id);
}

// `count` distinct random inside voxels.
std::vector<Site> insideSites(const Scene& scene, int count, std::mt19937& random) {
    std::vector<Site> sites;
    while (int(sites.size()) < count) {
        const Site s{int(random() % unsigned(scene.box.x)), int(random() % unsigned(scene.box.y)),
                     int(random() % unsigned(scene.box.z))};
        if (scene.inside[size_t(scene.g.index(s.x, s.y, s.z))]) sites.push_back(s);
        sites = distinct(sites);
    }
    return sites;
}

struct PassResult {
    std::vector<int> labels;
    ConnectedRegionsCount count;
};

PassResult runPass(const Scene& scene) {
    const GridShape& g = scene.g;
    std::vector<int> nearestInside(size_t(g.voxels()), -1);
    for (int z = 0; z < g.z; ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x)
                if (scene.inside[size_t(g.index(x, y, z))])
                    nearestInside[size_t(g.index(x, y, z))] = g.codes.encode(x, y, z);
    const DeviceArray<int> labels(scene.labels), scratch(size_t(g.voxels())), mask(nearestInside), codes(scene.codes),
        ids(scene.ids);
    const DeviceSiteTable<int> sites{codes.get(), ids.get(), int(scene.codes.size())};
    PassResult result;
    result.count =
        makeRegionsConnected(labels.get(), scratch.get(), g, scene.box, scene.masked ? mask.get() : nullptr, sites);
    result.labels = labels.download();
    return result;
}

// Whatever the rule, afterwards every piece of a region holds its site, but for the pieces in a part
// of the mask that holds no site.
void expectPiecesHoldTheirSites(const Scene& scene, const std::vector<int>& labels) {
    const GridShape& g = scene.g;
    const auto components = [&](bool byLabel) {
        std::vector<int> component(labels.size(), -1);
        int count = 0;
        for (size_t start = 0; start < labels.size(); ++start) {
            if (!scene.inside[start] || component[start] >= 0) continue;
            std::vector<size_t> stack{start};
            component[start] = count;
            while (!stack.empty()) {
                const size_t v = stack.back();
                stack.pop_back();
                const int x = int(v % g.x), y = int(v / g.x % g.y), z = int(v / (size_t(g.x) * g.y));
                const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
                for (const auto& d : steps) {
                    const int qx = x + d[0], qy = y + d[1], qz = z + d[2];
                    if (qx < 0 || qy < 0 || qz < 0 || qx >= g.x || qy >= g.y || qz >= g.z) continue;
                    const size_t q = size_t(g.index(qx, qy, qz));
                    if (!scene.inside[q] || component[q] >= 0 || (byLabel && labels[q] != labels[v])) continue;
                    component[q] = count;
                    stack.push_back(q);
                }
            }
            ++count;
        }
        return std::pair{component, count};
    };
    const auto [piece, pieces] = components(true);
    const auto [part, parts] = components(false);
    std::vector<bool> pieceHoldsSite(size_t(pieces), false), partHoldsSite(size_t(parts), false);
    for (size_t v = 0; v < labels.size(); ++v) {
        if (!scene.inside[v] ||
            labels[v] != g.codes.encode(int(v % g.x), int(v / g.x % g.y), int(v / (size_t(g.x) * g.y))))
            continue;
        pieceHoldsSite[size_t(piece[v])] = true;
        partHoldsSite[size_t(part[v])] = true;
    }
    size_t strays = 0;
    for (size_t v = 0; v < labels.size(); ++v)
        strays += scene.inside[v] && !pieceHoldsSite[size_t(piece[v])] && partHoldsSite[size_t(part[v])];
    EXPECT_EQ(strays, 0u) << "voxels in pieces without their site, where a site could reach them";
}

// The device's anchored voxels are exactly those that a flood from each site through its own label
// reaches.
void expectAnchoredAsFlood(const Scene& scene, const std::string& what) {
    SCOPED_TRACE(what);
    const GridShape& g = scene.g;
    std::vector<uint8_t> reached(scene.labels.size(), 0);
    std::vector<size_t> stack;
    for (size_t v = 0; v < scene.labels.size(); ++v)
        if (scene.inside[v] &&
            scene.labels[v] == g.codes.encode(int(v % g.x), int(v / g.x % g.y), int(v / (size_t(g.x) * g.y))))
            reached[v] = 1, stack.push_back(v);
    while (!stack.empty()) {
        const size_t v = stack.back();
        stack.pop_back();
        const int x = int(v % g.x), y = int(v / g.x % g.y), z = int(v / (size_t(g.x) * g.y));
        const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
        for (const auto& d : steps) {
            const int qx = x + d[0], qy = y + d[1], qz = z + d[2];
            if (qx < 0 || qy < 0 || qz < 0 || qx >= g.x || qy >= g.y || qz >= g.z) continue;
            const size_t q = size_t(g.index(qx, qy, qz));
            if (scene.inside[q] && !reached[q] && scene.labels[q] == scene.labels[v])
                reached[q] = 1, stack.push_back(q);
        }
    }
    std::vector<int> nearestInside(size_t(g.voxels()), -1);
    for (size_t v = 0; v < nearestInside.size(); ++v)
        if (scene.inside[v])
            nearestInside[v] = g.codes.encode(int(v % g.x), int(v / g.x % g.y), int(v / (size_t(g.x) * g.y)));
    const DeviceArray<int> labels(scene.labels), scratch(size_t(g.voxels())), mask(nearestInside);
    const uint32_t* bits =
        markAnchoredVoxels(labels.get(), scratch.get(), g, scene.box, scene.masked ? mask.get() : nullptr);
    const std::vector<uint32_t> words = downloadVolume(bits, size_t(g.voxels()) / 32);
    size_t differences = 0;
    for (int z = 0; z < scene.box.z; ++z)
        for (int y = 0; y < scene.box.y; ++y)
            for (int x = 0; x < scene.box.x; ++x) {
                const size_t v = size_t(g.index(x, y, z));
                differences += bool(words[v / 32] >> (x % 32) & 1u) != bool(reached[v]);
            }
    EXPECT_EQ(differences, 0u) << "voxels anchored otherwise than a flood from the sites reaches";
}

// The pass against the reference, voxel for voxel; returns the reference's result.
reference::ConnectedLabels expectAsReference(const Scene& scene, const std::string& what) {
    expectAnchoredAsFlood(scene, what);
    SCOPED_TRACE(what);
    std::map<int, int> idOf;
    for (size_t s = 0; s < scene.codes.size(); ++s) idOf[scene.codes[s]] = scene.ids[s];
    const reference::ConnectedLabels expected = reference::connectRegions(scene.labels, scene.g, scene.inside, idOf);
    const PassResult result = runPass(scene);
    size_t differences = 0;
    for (size_t v = 0; v < expected.labels.size(); ++v) differences += result.labels[v] != expected.labels[v];
    EXPECT_EQ(differences, 0u) << "voxels labelled otherwise than by the reference";
    EXPECT_EQ(result.count.movedVoxels, expected.moved);
    EXPECT_EQ(result.count.apartPieces, expected.apart);
    expectPiecesHoldTheirSites(scene, result.labels);
    // A second pass finds nothing left to do.
    Scene again = scene;
    again.labels = result.labels;
    const PassResult second = runPass(again);
    EXPECT_EQ(second.count.movedVoxels, 0u);
    EXPECT_EQ(second.count.apartPieces, expected.apart);
    EXPECT_TRUE(second.labels == result.labels);
    return expected;
}

// The exact labelling of the sites over the whole grid, as a labelling pass gives it.
void labelExactly(Scene& scene, const std::vector<Site>& sites) {
    scene.labels = bruteForceLabelling(sites, scene.g);
    setSites(scene, sites);
}

using ConnectedRegionsTest = DeviceTest;

TEST_F(ConnectedRegionsTest, ExactLabellingsInsideACShapedMask) {
    Scene scene = sceneOf(fullGrid(64, 64, 12), GridBox{60, 58, 11});
    // A thick ring around (30, 29) with a gap at +x, extruded along z.
    applyMask(scene, [](int x, int y, int) {
        const double r = std::hypot(x - 30.0, y - 29.0);
        return r > 9 && r < 26 && !(x > 30 && std::abs(y - 29) < 3);
    });
    std::mt19937 random(3);
    for (int count : {4, 12, 30}) {
        std::vector<Site> sites = insideSites(scene, count, random);
        sites.push_back({50, 33, 5});  // beside the gap, nearer to the voxels across it than to any other site
        labelExactly(scene, distinct(sites));
        EXPECT_GT(expectAsReference(scene, std::to_string(count) + " sites").moved, 0u);
    }
}

TEST_F(ConnectedRegionsTest, ExactLabellingsInsideAFoldedMask) {
    // Sheets three planes thick, each joined to the next at alternate ends along x: a path that runs
    // back and forth through both tiles along z.
    Scene scene = sceneOf(fullGrid(64, 32, 40), GridBox{64, 30, 40});
    applyMask(scene, [](int x, int, int z) {
        if (z % 4 != 3) return true;
        return (z / 4) % 2 == 0 ? x < 4 : x >= 60;
    });
    std::mt19937 random(5);
    for (int count : {3, 10, 40}) {
        labelExactly(scene, insideSites(scene, count, random));
        EXPECT_GT(expectAsReference(scene, std::to_string(count) + " sites").moved, 0u);
    }
}

TEST_F(ConnectedRegionsTest, ATieGoesToTheSmallerId) {
    // a c b b c along x: the lone c between a and b shares one face with each.
    Scene scene = sceneOf(fullGrid(32, 32, 4), GridBox{5, 1, 1});
    const GridShape& g = scene.g;
    const int a = g.codes.encode(0, 0, 0), b = g.codes.encode(2, 0, 0), c = g.codes.encode(4, 0, 0);
    scene.labels.assign(size_t(g.voxels()), a);
    const int row[5] = {a, c, b, b, c};
    for (int x = 0; x < 5; ++x) scene.labels[size_t(x)] = row[x];
    for (const auto& [idA, idB, winner] : {std::tuple{0, 1, a}, std::tuple{2, 1, b}}) {
        scene.codes = {a, b, c};
        scene.ids = {idA, idB, 7};
        expectAsReference(scene, "ids " + std::to_string(idA) + ", " + std::to_string(idB));
        const PassResult result = runPass(scene);
        EXPECT_EQ(result.labels[1], winner);
        EXPECT_EQ(result.count.movedVoxels, 1u);
    }
}

TEST_F(ConnectedRegionsTest, APartOfTheMaskWithoutASiteKeepsItsLabels) {
    Scene scene = sceneOf(fullGrid(64, 32, 8), GridBox{64, 32, 8});
    // A block with the sites, and apart from it a bar that their regions reach across the gap.
    applyMask(scene, [](int x, int y, int z) { return (x < 40 && y < 20) || (x >= 44 && y >= 2 && y < 30 && z > 1); });
    const std::vector<Site> sites = {{5, 5, 2}, {30, 5, 5}, {20, 15, 3}, {38, 18, 6}};
    labelExactly(scene, sites);
    const reference::ConnectedLabels expected = expectAsReference(scene, "two parts");
    EXPECT_GT(expected.apart, 1u);  // the bar holds pieces of several regions
    const PassResult result = runPass(scene);
    for (size_t v = 0; v < result.labels.size(); ++v)
        if (int(v % 64) >= 44) ASSERT_EQ(result.labels[v], scene.labels[v]);
}

// Labels constant on blocks of `edge`^3 voxels, drawn among `sites` sites: regions in many pieces,
// some of them spanning tiles, some reached only through others.
Scene randomLabelling(const GridShape& g, GridBox box, int sites, int edge, bool masked, std::mt19937& random) {
    Scene scene = sceneOf(g, box);
    if (masked) {
        std::vector<uint8_t> blocks(4096);
        for (uint8_t& b : blocks) b = random() % 10 < 7;
        applyMask(scene, [&](int x, int y, int z) {
            return blocks[size_t(x / 5 + 19 * (y / 5) + 13 * 19 * (z / 5)) % 4096] != 0;
        });
    }
    const std::vector<Site> siteList = insideSites(scene, sites, random);
    setSites(scene, siteList);
    std::vector<int> blockLabel(4096);
    for (int& label : blockLabel) label = scene.codes[random() % scene.codes.size()];
    scene.labels.resize(size_t(g.voxels()));
    for (int z = 0; z < g.z; ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x)
                scene.labels[size_t(g.index(x, y, z))] =
                    blockLabel[size_t(x / edge + 37 * (y / edge) + 37 * 29 * (z / edge)) % 4096];
    for (const Site& s : siteList) scene.labels[size_t(g.index(s.x, s.y, s.z))] = g.codes.encode(s.x, s.y, s.z);
    // Ids in an order of their own.
    std::shuffle(scene.ids.begin(), scene.ids.end(), random);
    return scene;
}

TEST_F(ConnectedRegionsTest, RandomLabellingsOnSeveralTiles) {
    std::mt19937 random(7);
    const GridShape g = fullGrid(96, 64, 40);
    // The whole grid and a box within it, each masked and not, in turn.
    const GridBox boxes[] = {GridBox{96, 64, 40}, GridBox{90, 61, 37}};
    for (const int edge : {1, 3, 9})
        for (const bool masked : {false, true}) {
            const GridBox box = boxes[(edge / 3 + masked) % 2];
            const Scene scene = randomLabelling(g, box, 12, edge, masked, random);
            expectAsReference(
                scene, "blocks " + std::to_string(edge) + (masked ? " masked" : "") + " box " + std::to_string(box.x));
        }
}

TEST_F(ConnectedRegionsTest, RefusesSlabsAndLabelsOfNoSite) {
    Scene scene = sceneOf(fullGrid(32, 32, 8), GridBox{32, 32, 8});
    labelExactly(scene, {{3, 3, 3}, {20, 20, 5}});
    const DeviceArray<int> labels(scene.labels), scratch(scene.labels.size()), codes(scene.codes), ids(scene.ids);
    const DeviceSiteTable<int> sites{codes.get(), ids.get(), 2};
    const GridShape slab(32, 32, 8, SiteLayout{}, 4, 16);
    EXPECT_THROW(makeRegionsConnected(labels.get(), scratch.get(), slab, GridBox{32, 32, 8}, nullptr, sites), Failure);
    EXPECT_THROW(makeRegionsConnected(labels.get(), scratch.get(), scene.g, GridBox{33, 32, 8}, nullptr, sites),
                 Failure);
    // A voxel of the first site's label amid the second's region, whose site the table leaves out.
    std::vector<int> spoilt = scene.labels;
    spoilt[size_t(scene.g.index(21, 20, 5))] = scene.g.codes.encode(3, 3, 3);
    const DeviceArray<int> spoiltLabels(spoilt);
    const DeviceSiteTable<int> first{codes.get(), ids.get(), 1};
    EXPECT_THROW(makeRegionsConnected(spoiltLabels.get(), scratch.get(), scene.g, scene.box, nullptr, first), Failure);
    EXPECT_NO_THROW(makeRegionsConnected(spoiltLabels.get(), scratch.get(), scene.g, scene.box, nullptr, sites));
}

}  // namespace
CVT_END_NAMESPACE
