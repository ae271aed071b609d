// The exact region sums against a brute-force sum over the voxels, on labellings that no labelling pass
// would make (random runs of listed sites, labels of no listed site, empty labels), on cubes, boxes and
// a slab of a larger grid, over ranges of planes within the grid and past it.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "centroid/region_sums.h"
#include "device_test_support.h"
#include "host/site_code.h"

CVT_BEGIN_NAMESPACE
namespace {

class RegionSumsTest : public DeviceTest {};

// Every voxel of planes [first, first + planes) of g by itself: the definition of the sums.
std::vector<std::array<UInt128, siteSumCount>> bruteForceSums(const std::vector<int>& labels,
                                                              const std::vector<float>& density,
                                                              const std::vector<int>& sites, int first, int planes,
                                                              const GridShape& g) {
    std::map<int, size_t> rowOf;
    for (size_t s = 0; s < sites.size(); ++s) rowOf[sites[s]] = s;
    std::vector<std::array<UInt128, siteSumCount>> sums(sites.size(), std::array<UInt128, siteSumCount>{});
    for (int z = std::max(first, 0); z < std::min(first + planes, g.z); ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x) {
                const size_t voxel = size_t(g.index(x, y, z));
                const auto found = rowOf.find(labels[voxel]);
                if (found == rowOf.end()) continue;
                const int code = labels[voxel];
                const Int128 w = Int128(std::floor(double(density[voxel]) * 4294967296.0 + 0.5));
                const Int128 d[3] = {x - g.codes.x(code), y - g.codes.y(code), g.wholeZOf(z) - g.codes.z(code)};
                const Int128 terms[siteSumCount] = {w, w * d[0], w * d[1], w * d[2], w * d[0] * d[0], w * d[1] * d[1],
                                                    w * d[2] * d[2]};
                for (int k = 0; k < siteSumCount; ++k) sums[found->second][size_t(k)] += UInt128(terms[k]);
            }
    return sums;
}

TEST_F(RegionSumsTest, EveryRegionSumsExactlyWhatItsVoxelsHold) {
    std::mt19937 random(29);
    const GridShape whole = fullGrid(96, 64, 40);
    for (const GridShape& g : {GridShape(32), GridShape(fullGrid(96, 32, 12)), GridShape(fullGrid(2048, 32, 4)),
                               GridShape(96, 64, 8, whole.codes, 17, 40)}) {  // planes 17 .. 24 of a larger grid
        // Sites anywhere in the whole grid, most labelling runs along x, some not listed.
        const int depth = g.wholeZ > 0 ? g.wholeZ : g.z;
        std::vector<int> sites;
        for (int s = 0; s < 40; ++s)
            sites.push_back(g.codes.encode(int(random() % unsigned(g.x)), int(random() % unsigned(g.y)),
                                           int(random() % unsigned(depth))));
        std::sort(sites.begin(), sites.end());
        sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
        std::vector<int> labels(size_t(g.voxels()));
        std::vector<float> density(labels.size());
        int current = sites[0];
        for (size_t v = 0; v < labels.size(); ++v) {
            const unsigned pick = random() % 16u;
            if (pick == 0) current = sites[random() % sites.size()];
            labels[v] = pick == 1 ? EMPTY_SITE : pick == 2 ? g.codes.encode(1, 1, 1) + 1 : current;
            // Zero, one, tiny values that round, and everything between.
            const unsigned kind = random() % 8u;
            density[v] = kind == 0 ? 0.0f : kind == 1 ? 1.0f : kind == 2 ? 1e-12f * float(random() % 100u)
                                                                          : float(random() % 100000u) / 99999.0f;
        }
        const DeviceArray<int> deviceLabels(labels), deviceSites(sites);
        const DeviceArray<float> deviceDensity(density);
        for (const auto [first, planes] : {std::pair{0, g.z}, {1, 1}, {2, g.z - 3}, {g.z - 2, 5}}) {
            DeviceArray<SiteSums> sums(std::vector<SiteSums>(sites.size()));
            launchRegionSums(deviceLabels.get(), deviceDensity.get(), deviceSites.get(), int(sites.size()), sums.get(),
                             first, planes, g);
            const std::vector<SiteSums> got = sums.download();
            const auto want = bruteForceSums(labels, density, sites, first, planes, g);
            for (size_t s = 0; s < sites.size(); ++s)
                for (int k = 0; k < siteSumCount; ++k)
                    ASSERT_TRUE(got[s].values[k].value() == want[s][size_t(k)])
                        << shapeText(g) << " planes " << first << "+" << planes << ", site " << s << ", sum " << k;
        }
    }
}

}  // namespace
CVT_END_NAMESPACE
