// A grid split into slabs of whole z planes: the split, each slab's labelling against brute force on
// the whole grid, and the region sums of the slabs against those of the whole grid, to the bit, with
// 32-bit and with 64-bit codes. The slabs run one after another in this process, as the ranks of a run
// would run them.
#include <algorithm>
#include <random>
#include <vector>

#include "centroid/region_sums.h"
#include "device_test_support.h"
#include "driver/energy.h"
#include "driver/cvt_driver.h"
#include "host/buffers.h"
#include "host/slab.h"
#include "reference_labelling.h"
#include "voronoi/slab_sites.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

class SlabTest : public DeviceTest {
protected:
    void TearDown() override {
        if (!IsSkipped()) releaseBuffers();
    }
};

TEST(Slabs, PlanesSplitAsEvenlyAsWholePlanesAllow) {
    EXPECT_EQ(slabsOf(10, 3), (std::vector<Slab>{{0, 4}, {4, 7}, {7, 10}}));
    EXPECT_EQ(slabsOf(4, 4), (std::vector<Slab>{{0, 1}, {1, 2}, {2, 3}, {3, 4}}));
    EXPECT_EQ(slabsOf(7, 1), (std::vector<Slab>{{0, 7}}));
    EXPECT_THROW(slabsOf(3, 4), Failure);
    EXPECT_EQ(slabsOf(13, 3, 4), (std::vector<Slab>{{0, 4}, {4, 8}, {8, 13}}));
    EXPECT_EQ(slabsOf(13, 4, 4), (std::vector<Slab>{{0, 4}, {4, 8}, {8, 12}, {12, 13}}));  // the last: the rest alone
    EXPECT_THROW(slabsOf(12, 4, 4), Failure);
    const GridShape whole = fullGrid(64, 32, 12);
    const GridShape g = slabGrid(whole, Slab{5, 6}, whole.z);
    EXPECT_EQ(g, GridShape(64, 32, 4, whole.codes, 4, 12));  // the plane below, the slab, the plane above, one empty
    EXPECT_EQ(g.longestSide(), 64);
}

// Every split of planes into `ranks` slabs that the tests use: the even one, and one with a slab of a
// single plane at each end and in the middle.
std::vector<std::vector<Slab>> splits(int planes, std::mt19937& random) {
    std::vector<std::vector<Slab>> result;
    for (int ranks = 1; ranks <= std::min(4, planes); ++ranks) result.push_back(slabsOf(planes, ranks));
    for (int trial = 0; trial < 3; ++trial) {
        std::vector<int> cuts{0, planes};
        for (int c = 0; c < 3; ++c) cuts.push_back(1 + int(random() % unsigned(planes - 1)));
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        std::vector<Slab> slabs;
        for (size_t i = 0; i + 1 < cuts.size(); ++i) slabs.push_back(Slab{cuts[i], cuts[i + 1]});
        result.push_back(slabs);
    }
    return result;
}

std::vector<int64_t> codesOf(const std::vector<Site>& sites, const GridShape& g) {
    std::vector<int64_t> codes;
    for (const Site& s : sites) codes.push_back(g.codes.encode(s.x, s.y, s.z));
    std::sort(codes.begin(), codes.end());
    return codes;
}

// Labels slab `slab` of `whole` on its own, as a rank does; returns the labels of its planes.
std::vector<int64_t> slabLabels(const std::vector<int64_t>& codes, const GridShape& whole, Slab slab,
                                const AxisWeights& w) {
    const GridShape g = slabGrid(whole, slab, whole.z);
    allocateBuffers(fullGrid(g.x, g.y, g.z, codeWidthOf(g.codes)), MomentSums::exact);
    gridSize = g;
    const int first = slabFirstPlane(g, slab);
    const SlabSiteEntries entries = slabSiteEntries(codes, g, first, slab.planes());
    DeviceCodes voxels(entries.voxels.size(), g.codes.wide, "voxels"), entryCodes(voxels.size(), g.codes.wide, "codes");
    uploadSlabSites(entries, voxels, entryCodes);
    computeVoronoi(w);
    const std::vector<int64_t> labels =
        downloadCodes(currentSites, g.index(0, 0, first), size_t(g.x) * g.y * slab.planes(), g.codes.wide);
    releaseBuffers();
    return labels;
}

TEST_F(SlabTest, EverySlabIsLabelledAsInTheWholeGrid) {
    std::mt19937 random(5);
    const std::array<int64_t, 3> weightSets[] = {{1, 1, 1}, {1, 1, 36}, {25, 4, 1}};
    for (const GridShape& whole : {fullGrid(32, 32, 12), fullGrid(64, 32, 8), fullGrid(32, 64, 20),
                                   fullGrid(32, 64, 20, CodeWidth::wide)}) {
        const auto coordinate = [&](int side, int step) { return int(random() % unsigned((side + step - 1) / step)) * step; };
        std::vector<std::vector<Site>> siteSets;
        for (int set = 0; set < 4; ++set) {
            std::vector<Site> sites;
            const int step = set == 1 ? 4 : 1;  // sites 4 apart: many voxels halfway between two
            const int count = set == 2 ? 2 : 30;   // few sites: columns far from every site
            for (int s = 0; s < count; ++s)
                sites.push_back({coordinate(whole.x, step), coordinate(whole.y, step),
                                 set == 3 ? coordinate(2, 1) : std::min(whole.z - 1, coordinate(whole.z, step))});
            siteSets.push_back(distinct(sites));
        }
        for (const std::vector<Site>& sites : siteSets)
            for (const std::array<int64_t, 3>& w : weightSets) {
                const std::vector<int64_t> expected = bruteForceLabelling<int64_t>(sites, whole, w);
                const size_t plane = size_t(whole.x) * whole.y;
                for (const std::vector<Slab>& slabs : splits(whole.z, random))
                    for (const Slab slab : slabs) {
                        const std::vector<int64_t> labels =
                            slabLabels(codesOf(sites, whole), whole, slab, AxisWeights{w[0], w[1], w[2]});
                        const size_t wrong = size_t(std::mismatch(labels.begin(), labels.end(),
                                                                  expected.begin() + ptrdiff_t(plane * slab.begin))
                                                        .first - labels.begin());
                        ASSERT_EQ(wrong, labels.size()) << shapeText(whole) << " planes " << slab.begin << ".."
                                                        << slab.end << ", weights " << w[0] << "/" << w[1] << "/" << w[2];
                    }
            }
    }
}

// The region sums of a labelling from the whole grid and from its slabs, added up, with either width of
// codes: the same bits.
TEST_F(SlabTest, SlabsSumRegionsToTheBitsOfTheWholeGrid) {
    std::mt19937 random(8);
    std::vector<Site> sites;
    for (int s = 0; s < 60; ++s)
        sites.push_back({int(random() % 64u), int(random() % 32u), int(random() % 24u)});
    sites = distinct(sites);
    std::vector<float> density(size_t(64) * 32 * 24);
    for (float& d : density) d = float(random() % 1000u) / 999.0f;

    // The labelling's sums in the buffer set of `g` (a slab of `whole`, or all of it), whose density
    // planes are those of the slab.
    const auto sumsOf = [&](const GridShape& whole, const GridShape& g, const Slab& slab) {
        const int firstPlane = slabFirstPlane(g, slab);
        const std::vector<int64_t> codes = codesOf(sites, whole);
        allocateBuffers(fullGrid(g.x, g.y, g.z, codeWidthOf(g.codes)), MomentSums::exact);
        gridSize = g;
        uploadDensityPlanes(density.data() + size_t(whole.x) * whole.y * slab.begin,
                            GridBox{whole.x, whole.y, slab.planes()}, 1.0f, firstPlane);
        const SlabSiteEntries entries = slabSiteEntries(codes, g, firstPlane, slab.planes());
        DeviceCodes voxels(codes.size(), g.codes.wide, "voxels"), entryCodes(codes.size(), g.codes.wide, "codes"),
            siteCodes(codes.size(), g.codes.wide, "site codes");
        uploadSlabSites(entries, voxels, entryCodes);
        siteCodes.upload(codes.data(), codes.size(), "uploading the site codes");
        computeVoronoi();
        DeviceArray<SiteSums> sums(std::vector<SiteSums>(codes.size()));
        withCodeType(g.codes.wide, [&](auto code) {
            using Code = decltype(code);
            launchRegionSums(codesIn<Code>(currentSites), densityLevels[0], siteCodes.get<Code>(), int(codes.size()),
                             sums.get(), firstPlane, slab.planes(), g);
        });
        releaseBuffers();
        return sums.download();
    };
    const GridShape narrow = fullGrid(64, 32, 24);
    const std::vector<SiteSums> expected = sumsOf(narrow, narrow, Slab{0, narrow.z});
    for (const GridShape& whole : {narrow, fullGrid(64, 32, 24, CodeWidth::wide)})
        for (const std::vector<Slab>& slabs : splits(whole.z, random)) {
            std::vector<SiteSums> total(expected.size());
            for (const Slab slab : slabs) {
                const std::vector<SiteSums> part = sumsOf(whole, slabGrid(whole, slab, whole.z), slab);
                for (size_t s = 0; s < total.size(); ++s)
                    for (int k = 0; k < siteSumCount; ++k) total[s].values[k].add(part[s].values[k].value());
            }
            for (size_t s = 0; s < total.size(); ++s)
                for (int k = 0; k < siteSumCount; ++k)
                    ASSERT_TRUE(total[s].values[k].value() == expected[s].values[k].value())
                        << "site " << s << ", sum " << k << ", " << slabs.size() << " slabs of " << shapeText(whole)
                        << (whole.codes.wide ? " with 64-bit codes" : "");
        }
}

}  // namespace
CVT_END_NAMESPACE
