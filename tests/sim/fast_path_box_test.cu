// Every fast path against its simulated kernel on grids whose sides all differ, one of them past 1024
// with the wider code fields that it brings, the labelling's with 32-bit and with 64-bit codes: every
// byte of every pass compared, from random bytes.
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "centroid/centroid.h"
#include "host/launch_shapes.h"
#include "driver/energy.h"
#include "driver/fill.h"
#include "driver/pyramid.h"
#include "fast_path_comparison.h"
#include "host/site_code.h"
#include "reference_labelling.h"
#include "voronoi/voronoi.h"

CVT_BEGIN_NAMESPACE
namespace {

using FastPathBoxTest = FastPathTest;

constexpr size_t tail = 1000;  // elements after each output, which no launch may touch

template <class T>
std::vector<T> randomBits(size_t count, std::mt19937& random) {
    std::vector<T> values(count);
    std::vector<uint32_t> words((count * sizeof(T) + 3) / 4);
    for (uint32_t& w : words) w = random();
    std::memcpy(values.data(), words.data(), count * sizeof(T));
    return values;
}

// `input` followed by an output of `outputCount` random elements and the tail: both ways, the same
// bytes; returns the simulated output, or the input as the launch left it when there is no output.
template <class T, class Launch>
std::vector<T> expectSame(const std::vector<T>& input, size_t outputCount, std::mt19937& random, Launch launch) {
    std::vector<T> initial(input);
    const std::vector<T> output = randomBits<T>(outputCount + tail, random);
    initial.insert(initial.end(), output.begin(), output.end());
    const auto [simulated, fast] = bothWays(initial, [&](T* data) { launch(data, data + input.size()); });
    EXPECT_EQ(std::memcmp(simulated.data(), fast.data(), initial.size() * sizeof(T)), 0) << "the fast path differs";
    const auto from = simulated.begin() + ptrdiff_t(outputCount == 0 ? 0 : input.size());
    return std::vector<T>(from, from + ptrdiff_t(outputCount == 0 ? input.size() : outputCount));
}

std::vector<Site> randomSites(const GridShape& g, int count, std::mt19937& random) {
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s)
        sites.push_back({int(random() % unsigned(g.x)), int(random() % unsigned(g.y)), int(random() % unsigned(g.z))});
    return distinct(sites);
}

const GridShape shapes[] = {fullGrid(64, 96, 12), fullGrid(2048, 32, 4)};

// The passes of a labelling with codes of type Code, that of g's layout.
template <class Code>
void expectSameLabellingPasses(const GridShape& g, std::mt19937& random) {
    const LineWeights weights{49, 625, 16};
    const size_t voxels = size_t(g.voxels());
    for (const std::vector<Code>& input :
         {siteVolume<Code>(randomSites(g, 60, random), g), randomBits<Code>(voxels, random)}) {
        const std::vector<Code> flooded = expectSame(input, voxels, random, [&](Code* in, Code* out) {
            LAUNCH_KERNEL(kernelFloodZ<Code>, columnGrid(g), lineBlock(), 0, in, out, g);
        });
        // The second round's frame takes the first round's output: here the flood's, as a stand-in.
        for (const GridShape& frame : {g, g.exchanged()}) {
            const std::vector<Code> chains = expectSame(flooded, voxels, random, [&](Code* in, Code* out) {
                LAUNCH_KERNEL(kernelMaurerAxis<Code>, lineGrid(frame), lineBlock(), 0, in, out, frame, weights);
            });
            expectSame(chains, voxels, random, [&](Code* in, Code* out) {
                LAUNCH_KERNEL(kernelColorAxis<Code>, queryGrid(frame), queryBlock(), 0, in, out, frame, weights);
            });
        }
    }
}

// Each grid with its own codes and with 64-bit ones.
TEST_F(FastPathBoxTest, LabellingPassesInBothFrames) {
    std::mt19937 random(3);
    for (const GridShape& g : shapes) {
        expectSameLabellingPasses<SiteCode>(g, random);
        expectSameLabellingPasses<WideSiteCode>(fullGrid(g.x, g.y, g.z, CodeWidth::wide), random);
    }
}

TEST_F(FastPathBoxTest, FillDensityAndEnergy) {
    std::mt19937 random(4);
    for (const GridShape& g : shapes) {
        const size_t voxels = size_t(g.voxels());
        expectSame(std::vector<int>(), voxels, random, [&](int*, int* out) {
            LAUNCH_KERNEL(kernelFill<SiteCode>, voxelGrid(g), voxelBlock(), 0, out, 77, g);
        });
        expectSame(std::vector<int64_t>(), voxels, random, [&](int64_t*, int64_t* out) {
            LAUNCH_KERNEL(kernelFill<WideSiteCode>, voxelGrid(g), voxelBlock(), 0, out, int64_t{77} << 40, g);
        });
        std::vector<float> fine(size_t(g.doubled().voxels()));
        for (float& v : fine) v = float(random() % 1000) / 7.0f;
        expectSame(fine, voxels, random, [&](float* in, float* out) {
            LAUNCH_KERNEL(kernelCalcDensity, voxelGrid(g), voxelBlock(), 0, in, out, g);
        });
        const std::vector<int> labels = bruteForceLabelling(randomSites(g, 30, random), g);
        const DeviceArray<int> deviceLabels(labels);
        std::vector<float> density(fine.begin(), fine.begin() + ptrdiff_t(voxels));
        for (const AxisScales& scales : {AxisScales{}, AxisScales{1, 1.5, 3.25}})
            expectSame(density, voxels, random, [&](float* in, float* out) {
                LAUNCH_KERNEL(kernelEnergyValue, voxelGrid(g), voxelBlock(), 0, deviceLabels.get(), in, out, g, scales);
            });
    }
}

// The centroid step's passes on an exact labelling, with fixed-point sums (the same in any order) and
// float sums where the pass fixes their order.
TEST_F(FastPathBoxTest, CentroidPasses) {
    std::mt19937 random(5);
    for (const GridShape& g : shapes) {
        const size_t voxels = size_t(g.voxels());
        const std::vector<int> labels = bruteForceLabelling(randomSites(g, 40, random), g);
        const DeviceArray<int> deviceLabels(labels);
        std::vector<float> density(voxels);
        for (float& v : density) v = float(random() % 1024) / 1024.0f;
        const DeviceArray<float> deviceDensity(density);
        const auto volumes = [&](auto* all) {
            using Moment = std::remove_pointer_t<decltype(all)>;
            return MomentVolumes<Moment>{all, all + voxels, all + 2 * voxels, all + 3 * voxels};
        };
        const std::vector<FixedMoment> fixed = expectSame(std::vector<FixedMoment>(), 4 * voxels, random,
                                                          [&](FixedMoment*, FixedMoment* out) {
                                                              launchCalcProduct(deviceDensity.get(), volumes(out), g);
                                                          });
        const std::vector<float> floats = expectSame(std::vector<float>(), 4 * voxels, random, [&](float*, float* out) {
            launchCalcProduct(deviceDensity.get(), volumes(out), g);
        });
        const std::vector<int> rowMap = expectSame(labels, voxels, random, [&](int* in, int* out) {
            LAUNCH_KERNEL(kernel2DVoronoi, rowGrid(g), rowBlock(), sizeof(int) * g.x, in, out, g);
        });
        const DeviceArray<int> deviceRowMap(rowMap);
        const std::vector<FixedMoment> rowSums = expectSame(fixed, 0, random, [&](FixedMoment* all, FixedMoment*) {
            launchTotalX(deviceLabels.get(), volumes(all), g);
        });
        expectSame(floats, 0, random, [&](float* all, float*) { launchTotalX(deviceLabels.get(), volumes(all), g); });
        const std::vector<FixedMoment> sums = expectSame(rowSums, 0, random, [&](FixedMoment* all, FixedMoment*) {
            launchTotalYZ(deviceRowMap.get(), volumes(all), g);
        });
        const DeviceArray<FixedMoment> deviceSums(sums);
        std::vector<int> empty(voxels, EMPTY_SITE);
        expectSame(empty, 0, random, [&](int* all, int*) {
            launchUpdateCentroid(deviceLabels.get(), all, volumes(const_cast<FixedMoment*>(deviceSums.get())), 1.7f,
                                 GridBox{g.x - 5, g.y, g.z - 1}, g);
        });
    }
}

}  // namespace
CVT_END_NAMESPACE
