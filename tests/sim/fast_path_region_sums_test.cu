// The exact region sums: the fast path against its kernel, every byte, on the labelling of random
// sites (long runs, as real labellings have) and on labels that change at every voxel, over ranges of
// planes, and on any number of host threads.
#include <omp.h>

#include <algorithm>
#include <random>
#include <vector>

#include "centroid/region_sums.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE
namespace {

TEST_F(FastPathTest, RegionSumsMatchTheirKernelOnAnyNumberOfHostThreads) {
    std::mt19937 random(33);
    const GridShape g = fullGrid(64, 96, 12);
    std::vector<Site> sites;
    for (int s = 0; s < 300; ++s)
        sites.push_back({int(random() % 64u), int(random() % 96u), int(random() % 12u)});
    sites = distinct(sites);
    std::vector<int> codes;
    for (const Site& s : sites) codes.push_back(g.codes.encode(s.x, s.y, s.z));
    std::sort(codes.begin(), codes.end());
    const std::vector<int> voronoi = bruteForceLabelling(sites, g);
    std::vector<int> scattered(voronoi.size());
    for (int& label : scattered) label = random() % 5u == 0 ? EMPTY_SITE : codes[random() % codes.size()];
    std::vector<float> density(voronoi.size());
    for (float& d : density) d = float(random() % 1000u) / 999.0f;
    const DeviceArray<float> deviceDensity(density);
    const DeviceArray<int> deviceCodes(codes);
    const int threadsBefore = omp_get_max_threads();
    for (const std::vector<int>& labels : {voronoi, scattered}) {
        const DeviceArray<int> deviceLabels(labels);
        for (const int threads : {1, 2, 5})
            for (const auto [first, planes] : {std::pair{0, 12}, {3, 1}, {5, 20}}) {
                omp_set_num_threads(threads);
                // The sums start at zero, as every launch needs them.
                expectSameBytes<SiteSums>(codes.size(), [&](SiteSums* sums) {
                    checkCuda(cudaMemset(sums, 0, codes.size() * sizeof(SiteSums)), "clearing the sums");
                    launchRegionSums(deviceLabels.get(), deviceDensity.get(), deviceCodes.get(), int(codes.size()),
                                     sums, first, planes, g);
                });
            }
    }
    omp_set_num_threads(threadsBefore);
}

}  // namespace
CVT_END_NAMESPACE
