// The fast paths of the connectivity pass against their simulated kernels, from random bytes: the maps
// of exact and of scattered labellings with and without a mask, every anchoring pass from the sites to
// the end and passes from random anchored voxels and flags, the counts and the records of detached
// voxels in whole and partial windows; and the whole pass simulated in shuffled block orders on one
// and two host threads against the fast paths. Every case runs with 32-bit and with 64-bit codes, which
// give the same maps, records and labels.
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/launch_shapes.h"
#include "fast_path_comparison.h"
#include "reference_labelling.h"
#include "voronoi/connected_regions.h"
#include "voronoi/region_bits.h"

CVT_BEGIN_NAMESPACE
namespace {

using FastPathConnectedTest = FastPathTest;

constexpr size_t tail = 1000;  // words after each output, which no launch may touch

std::vector<uint32_t> randomWords(size_t count, std::mt19937& random) {
    std::vector<uint32_t> words(count);
    for (uint32_t& w : words) w = random();
    return words;
}

// A launch both ways into `count` words of random bytes and the tail; the simulated words.
template <class Launch>
std::vector<uint32_t> expectSame(size_t count, std::mt19937& random, Launch launch) {
    const auto [simulated, fast] = bothWays(randomWords(count + tail, random), launch);
    EXPECT_EQ(std::memcmp(simulated.data(), fast.data(), simulated.size() * sizeof(uint32_t)), 0)
        << "the fast path differs";
    return std::vector<uint32_t>(simulated.begin(), simulated.begin() + ptrdiff_t(count));
}

template <class Code>
struct Case {
    GridShape g;
    GridBox box;
    std::vector<Code> labels;
    std::vector<Code> nearestInside;  // empty: no mask
    bool split = false;               // whether regions fall apart (an exact labelling without a mask does not)
};

// The case with 64-bit codes: the same fields, on the grid with a wide layout.
Case<int64_t> widened(const Case<int>& c) {
    return Case<int64_t>{fullGrid(c.g.x, c.g.y, c.g.z, CodeWidth::wide), c.box,
                         std::vector<int64_t>(c.labels.begin(), c.labels.end()),
                         std::vector<int64_t>(c.nearestInside.begin(), c.nearestInside.end()), c.split};
}

// Exact labellings of a few sites, and labels scattered in blocks with every site on its own voxel; a
// mask of blocks, or none.
std::vector<Case<int>> cases(std::mt19937& random) {
    std::vector<Case<int>> all;
    const std::pair<GridShape, GridBox> shapes[] = {{fullGrid(64, 96, 40), GridBox{64, 96, 40}},
                                                    {fullGrid(64, 96, 40), GridBox{50, 70, 37}},
                                                    {fullGrid(2048, 32, 4), GridBox{2000, 31, 4}}};
    for (const auto& [g, box] : shapes)
        for (const bool exact : {true, false})
            for (const bool masked : {false, true}) {
                Case<int> c{g, box, {}, {}, !exact || masked};
                std::vector<Site> sites;
                for (int s = 0; s < 12; ++s)
                    sites.push_back({int(random() % unsigned(box.x)), int(random() % unsigned(box.y)),
                                     int(random() % unsigned(box.z))});
                sites = distinct(sites);
                if (exact) {
                    c.labels = bruteForceLabelling(sites, g);
                } else {
                    std::vector<int> blockCode(997);
                    for (int& code : blockCode) {
                        const Site& s = sites[random() % sites.size()];
                        code = g.codes.encode(s.x, s.y, s.z);
                    }
                    c.labels.resize(size_t(g.voxels()));
                    for (int z = 0; z < g.z; ++z)
                        for (int y = 0; y < g.y; ++y)
                            for (int x = 0; x < g.x; ++x)
                                c.labels[size_t(g.index(x, y, z))] =
                                    blockCode[size_t(x / 3 + 7 * (y / 3) + 31 * (z / 2)) % 997];
                    for (const Site& s : sites)
                        c.labels[size_t(g.index(s.x, s.y, s.z))] = g.codes.encode(s.x, s.y, s.z);
                }
                if (masked) {
                    c.nearestInside.resize(size_t(g.voxels()));
                    for (int z = 0; z < g.z; ++z)
                        for (int y = 0; y < g.y; ++y)
                            for (int x = 0; x < g.x; ++x)
                                c.nearestInside[size_t(g.index(x, y, z))] = (x / 4 + y / 5 + z / 3) % 4 != 0
                                                                                ? g.codes.encode(x, y, z)
                                                                                : g.codes.encode(x / 2, y, z);
                }
                all.push_back(std::move(c));
            }
    return all;
}

// The maps of a case as its link pass leaves them (simulated, compared with the fast path), and the
// starting anchored voxels, in one array: inside, sites, nextX, nextY, nextZ.
template <class Code>
std::vector<uint32_t> linkMaps(const Case<Code>& c, std::mt19937& random) {
    const size_t rowWords = size_t(c.g.voxels()) / 32;
    const DeviceArray<Code> labels(c.labels);
    const DeviceArray<Code> mask(c.nearestInside.empty() ? std::vector<Code>(1) : c.nearestInside);
    const Code* inside = c.nearestInside.empty() ? nullptr : mask.get();
    return expectSame(5 * rowWords, random, [&](uint32_t* out) {
        const RegionMaps maps{out, out + 2 * rowWords, out + 3 * rowWords, out + 4 * rowWords};
        LAUNCH_KERNEL(kernelRegionLinks<Code>, voxelGrid(c.g), voxelBlock(), 0, labels.get(), inside, c.g, c.box, maps,
                      out + rowWords);
    });
}

RegionMaps mapsIn(const uint32_t* words, size_t rowWords) {
    uint32_t* all = const_cast<uint32_t*>(words);
    return RegionMaps{all, all + 2 * rowWords, all + 3 * rowWords, all + 4 * rowWords};
}

size_t flagWords(const RegionTiles& tiles) { return (size_t(tiles.count()) + 3) / 4; }

// One anchoring pass both ways: returns anchoredOut, then the flags, then the count of changed tiles.
template <class Code>
std::vector<uint32_t> anchoringPass(const Case<Code>& c, const DeviceArray<uint32_t>& maps,
                                    const std::vector<uint32_t>& anchoredIn, const std::vector<uint8_t>& changedIn,
                                    std::mt19937& random) {
    const size_t rowWords = size_t(c.g.voxels()) / 32;
    const RegionTiles tiles = regionTilesOf(c.box);
    const DeviceArray<uint32_t> in(anchoredIn);
    const DeviceArray<uint8_t> changed(changedIn);
    return expectSame(rowWords + flagWords(tiles) + 1, random, [&](uint32_t* out) {
        LAUNCH_KERNEL(kernelAnchorTiles, tileGrid(c.box), tileBlock(), 0, mapsIn(maps.get(), rowWords), in.get(), out,
                      changed.get(), reinterpret_cast<uint8_t*>(out + rowWords), out + rowWords + flagWords(tiles), c.g,
                      c.box);
    });
}

// The maps, the anchored voxels and the records of a case; checks every pass both ways.
template <class Code>
std::vector<uint32_t> expectSameAnchoringAndRecords(const Case<Code>& c, std::mt19937& random) {
    SCOPED_TRACE("grid " + shapeText(c.g) + " box " + std::to_string(c.box.x) +
                 (c.nearestInside.empty() ? "" : " masked") + (c.g.codes.wide ? ", 64-bit codes" : ""));
    std::vector<uint32_t> results;
    const size_t rowWords = size_t(c.g.voxels()) / 32;
    const RegionTiles tiles = regionTilesOf(c.box);
    const std::vector<uint32_t> words = linkMaps(c, random);
    results = words;
    const DeviceArray<uint32_t> maps(words);
    const RegionMaps host = mapsIn(words.data(), rowWords);

    // From random anchored voxels (closed along each word, as every anchored set is) and flags.
    std::vector<uint32_t> anchored(rowWords);
    for (size_t w = 0; w < rowWords; ++w)
        anchored[w] =
            fillAlongRow(uint32_t(random()) & uint32_t(random()) & host.inside[w], host.nextX[w] & 0x7FFFFFFFu);
    std::vector<uint8_t> changed(size_t(tiles.count()));
    for (uint8_t& flag : changed) flag = random() % 3 == 0;
    anchoringPass(c, maps, anchored, changed, random);

    // From the sites to the end, as the pass runs: the tiles a pass works on take its words.
    anchored.assign(words.begin() + ptrdiff_t(rowWords), words.begin() + ptrdiff_t(2 * rowWords));
    changed.assign(changed.size(), 1);
    for (int pass = 0;; ++pass) {
        if (pass >= 200) {
            ADD_FAILURE() << "the anchoring does not end";
            return results;
        }
        const std::vector<uint32_t> out = anchoringPass(c, maps, anchored, changed, random);
        for (int tile = 0; tile < tiles.count(); ++tile) {
            const int tx = tile % tiles.x, ty = tile / tiles.x % tiles.y, tz = tile / tiles.x / tiles.y;
            if (!tileMayGrow(changed.data(), tiles, tx, ty, tz)) continue;
            for (int z = tz * regionTileSide; z < (tz + 1) * regionTileSide; ++z)
                for (int y = ty * regionTileSide; y < (ty + 1) * regionTileSide; ++y)
                    if (rowInBox(c.box, y, z))
                        anchored[size_t(rowWord(c.g, tx, y, z))] = out[size_t(rowWord(c.g, tx, y, z))];
        }
        std::memcpy(changed.data(), out.data() + rowWords, changed.size());
        if (std::count(changed.begin(), changed.end(), 1) == 0) break;
    }

    const DeviceArray<uint32_t> final(anchored);
    results.insert(results.end(), anchored.begin(), anchored.end());
    const auto countDetached = [&](uint32_t* counts) {
        LAUNCH_KERNEL(kernelCountDetached, tileGrid(c.box), tileBlock(), 0, mapsIn(maps.get(), rowWords),
                      final.get(), reinterpret_cast<int*>(counts), c.g, c.box);
    };
    expectSame(size_t(tiles.count()), random, countDetached);  // adding to random bytes
    DeviceArray<uint32_t> sums(std::vector<uint32_t>(size_t(tiles.count()), 0));
    countDetached(sums.get());
    const std::vector<uint32_t> tileCounts = sums.download();
    std::vector<int> offsets(size_t(tiles.count()) + 1, 0);
    for (size_t tile = 0; tile < tileCounts.size(); ++tile)
        offsets[tile + 1] = offsets[tile] + int(tileCounts[tile]);
    const int total = offsets.back();
    EXPECT_EQ(total > 0, c.split);
    const DeviceArray<int> deviceOffsets(offsets);
    const DeviceArray<Code> labels(c.labels);
    for (const auto& [begin, end] : {std::pair{0, total}, std::pair{total / 3, total / 3 + 1 + total / 4}}) {
        const int window = std::max(0, std::min(end, total) - begin);
        const std::vector<uint32_t> records =
            expectSame(size_t(window) * sizeof(DetachedVoxel) / sizeof(uint32_t), random, [&](uint32_t* out) {
                LAUNCH_KERNEL(kernelDescribeDetached<Code>, tileGrid(c.box), tileBlock(), 0, labels.get(),
                              mapsIn(maps.get(), rowWords), final.get(), deviceOffsets.get(), begin,
                              std::min(end, total), reinterpret_cast<DetachedVoxel*>(out), c.g, c.box);
            });
        results.insert(results.end(), records.begin(), records.end());
    }
    return results;
}

TEST_F(FastPathConnectedTest, MapsAnchoringCountsAndRecords) {
    std::mt19937 random(17);
    for (const Case<int>& c : cases(random)) {
        // Both widths draw the same random bytes and anchored voxels, so their results compare.
        std::mt19937 narrowRandom(random()), wideRandom(narrowRandom);
        const std::vector<uint32_t> narrow = expectSameAnchoringAndRecords(c, narrowRandom);
        EXPECT_EQ(expectSameAnchoringAndRecords(widened(c), wideRandom), narrow) << "the widths differ";
    }
}

// The labels that the whole pass leaves, and its counts, with the case's site voxels as the sites,
// numbered from the last.
template <class Code>
std::vector<int64_t> wholePass(const Case<Code>& c) {
    const GridShape g = c.g;
    std::vector<Code> codes;
    for (int x = 0; x < c.box.x; ++x)
        for (int y = 0; y < c.box.y; ++y)
            for (int z = 0; z < c.box.z; ++z)
                if (c.labels[size_t(g.index(x, y, z))] == g.codes.encode<Code>(x, y, z))
                    codes.push_back(g.codes.encode<Code>(x, y, z));
    std::vector<int> ids(codes.size());
    for (size_t id = 0; id < ids.size(); ++id) ids[id] = int(ids.size() - id);
    const DeviceArray<Code> deviceCodes(codes), scratch(size_t(g.voxels()));
    const DeviceArray<int> deviceIds(ids);
    const DeviceArray<Code> mask(c.nearestInside.empty() ? std::vector<Code>(1) : c.nearestInside);
    const DeviceArray<Code> labels(c.labels);
    const ConnectedRegionsCount count =
        makeRegionsConnected(labels.get(), scratch.get(), g, c.box, c.nearestInside.empty() ? nullptr : mask.get(),
                             DeviceSiteTable<Code>{deviceCodes.get(), deviceIds.get(), int(codes.size())});
    const std::vector<Code> labelled = labels.download();
    std::vector<int64_t> result(labelled.begin(), labelled.end());
    result.push_back(int64_t(count.movedVoxels));
    result.push_back(int64_t(count.apartPieces));
    return result;
}

// The whole pass simulated, blocks in shuffled orders on one and two host threads, gives what the
// fast paths give.
template <class Code>
void expectTheSameWholePass(const Case<Code>& c, const std::vector<int64_t>& expected) {
    const auto run = [&](bool fast, uint64_t order, int threads) {
        setFastPathsEnabled(fast);
        setBlockOrderSeed(order);
        omp_set_num_threads(threads);
        return wholePass(c);
    };
    EXPECT_TRUE(run(true, 0, 2) == expected);
    EXPECT_TRUE(run(false, 5, 1) == expected);
    EXPECT_TRUE(run(false, 6, 2) == expected);
    EXPECT_TRUE(run(true, 0, 1) == expected);
}

TEST_F(FastPathConnectedTest, TheWholePassInAnyBlockOrderAndThreadCount) {
    std::mt19937 random(19);
    const int threadsBefore = omp_get_max_threads();
    for (const Case<int>& c : cases(random)) {
        if (!c.split || c.g.x > 64) continue;  // the simulated passes take their time
        const std::vector<int64_t> expected = wholePass(c);
        expectTheSameWholePass(c, expected);
        expectTheSameWholePass(widened(c), expected);
    }
    setBlockOrderSeed(0);
    omp_set_num_threads(threadsBefore);
}

}  // namespace
CVT_END_NAMESPACE
