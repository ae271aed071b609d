// The per-site sums of a slab: the fast path against its kernel, every byte, on row site maps that name
// listed sites, sites not listed and no site, over every range of planes (within the grid and past it).
#include <algorithm>
#include <random>
#include <vector>

#include "centroid/site_sums.h"
#include "device/launch_shapes.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"

CVT_BEGIN_NAMESPACE
namespace {

TEST_F(FastPathTest, SiteSumsMatchTheirKernel) {
    std::mt19937 random(4);
    const GridShape g(64, 32, 8);
    const size_t voxels = size_t(g.voxels());
    std::vector<int> sites;
    for (int s = 0; s < 50; ++s) sites.push_back(g.codes.encode(int(random() % 64u), int(random() % 32u), int(random() % 8u)));
    std::sort(sites.begin(), sites.end());
    sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
    std::vector<int> map(voxels);
    for (int& code : map) {
        const unsigned pick = random() % 4u;
        code = pick == 0 ? EMPTY_SITE : pick == 1 ? g.codes.encode(int(random() % 64u), 0, 0) : sites[random() % sites.size()];
    }
    std::vector<FixedMoment> moments(4 * voxels);
    for (FixedMoment& m : moments) m = (FixedMoment(random()) << 20) ^ random();
    const DeviceArray<int> deviceMap(map), deviceSites(sites);
    const DeviceArray<FixedMoment> deviceMoments(moments);
    FixedMoment* const m = deviceMoments.get();
    const MomentVolumes<FixedMoment> volumes{m, m + voxels, m + 2 * voxels, m + 3 * voxels};
    for (const auto [first, planes] : {std::pair{0, 8}, {1, 1}, {3, 4}, {6, 5}}) {
        expectSameBytes<FixedMoment>(4 * sites.size() + 8, [&](FixedMoment* sums) {
            launchSiteSums(deviceMap.get(), volumes, deviceSites.get(), int(sites.size()), sums, first, planes, g);
        });
    }
}

}  // namespace
CVT_END_NAMESPACE
