#include "region_sums.h"

#include <algorithm>
#include <vector>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"

CVT_BEGIN_NAMESPACE

namespace {

// The position of `code` among the increasing `sites`, or -1.
template <class Code>
__host__ __device__ __forceinline__ int sitePosition(const Code* sites, int siteCount, Code code) {
    int low = 0, high = siteCount;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (sites[middle] < code) low = middle + 1;
        else high = middle;
    }
    return low < siteCount && sites[low] == code ? low : -1;
}

// The moments of a run of voxels along a row about its site's x: sum w, sum w dx and sum w dx^2. Each
// product stays within 64 bits (w <= 2^32, |dx| < 2^14); a run's sum of w dx^2 may not.
struct RunMoments {
    unsigned long long mass = 0;
    long long x = 0;
    UInt128 xx = 0;
};

// Sums the run of `code` that starts at x of a row (`labels` points at the row's first voxel, and
// weightAt(x) gives voxel x's weight) and returns the x just past it.
template <class Code, class WeightAt>
__host__ __device__ __forceinline__ int sumRun(const Code* labels, WeightAt weightAt, int x, int rowLength, Code code,
                                               int siteX, RunMoments& run) {
    for (; x < rowLength && labels[x] == code; ++x) {
        const unsigned long long w = weightAt(x);
        const long long dx = x - siteX;
        run.mass += w;
        run.x += static_cast<long long>(w) * dx;
        run.xx += w * static_cast<unsigned long long>(dx * dx);
    }
    return x;
}

// A run's seven sums, its row lying dy and dz from the site.
__host__ __device__ __forceinline__ void runTerms(const RunMoments& run, long long dy, long long dz,
                                                  UInt128 terms[siteSumCount]) {
    const Int128 mass = Int128(run.mass);
    terms[sumMass] = UInt128(mass);
    terms[sumX] = UInt128(Int128(run.x));
    terms[sumY] = UInt128(mass * dy);
    terms[sumZ] = UInt128(mass * dz);
    terms[sumXX] = run.xx;
    terms[sumYY] = UInt128(mass * (dy * dy));
    terms[sumZZ] = UInt128(mass * (dz * dz));
}

__device__ __forceinline__ void atomicAddWide(WideSum* sum, UInt128 term) {
    const unsigned long long low = static_cast<unsigned long long>(term);
    const unsigned long long before = atomicAdd(&sum->low, low);
    const unsigned long long high = static_cast<unsigned long long>(term >> 64) + (before + low < before ? 1 : 0);
    if (high != 0) atomicAdd(&sum->high, high);
}

}  // namespace

template <class Code>
__global__ void kernelRegionSums(const Code* labelling, const float* density, const Code* sites, int siteCount,
                                 SiteSums* sums, int firstPlane, int planes, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    if (z < firstPlane || z >= firstPlane + planes) return;
    const size_t row = size_t(g.x) * (y + size_t(g.y) * z);
    const Code* labels = labelling + row;
    const Code code = labels[x];
    if (code < 0 || (x > 0 && labels[x - 1] == code)) return;
    const int s = sitePosition(sites, siteCount, code);
    if (s < 0) return;
    RunMoments run;
    const float* rowDensity = density + row;
    sumRun(labels, [rowDensity](int at) { return densityWeight(rowDensity[at]); }, x, g.x, code, g.codes.x(code), run);
    if (run.mass == 0) return;  // nothing to add: every sum of the run is zero
    UInt128 terms[siteSumCount];
    runTerms(run, y - g.codes.y(code), g.wholeZOf(z) - g.codes.z(code), terms);
    for (int k = 0; k < siteSumCount; ++k) atomicAddWide(&sums[s].values[k], terms[k]);
}

template __global__ void kernelRegionSums<SiteCode>(const SiteCode*, const float*, const SiteCode*, int, SiteSums*, int,
                                                    int, GridShape);
template __global__ void kernelRegionSums<WideSiteCode>(const WideSiteCode*, const float*, const WideSiteCode*, int,
                                                        SiteSums*, int, int, GridShape);

namespace {

// The sums of the sites that one part of the grid meets, by site code: an open-addressing table that
// grows as it fills. A part meets few of the sites, so a table per part costs little.
template <class Code>
class SumsByCode {
public:
    SumsByCode() : codes_(initialCapacity, emptyCode), sums_(initialCapacity) {}

    SiteSums& of(Code code) {
        size_t slot = slotOf(code);
        if (codes_[slot] == code) return sums_[slot];
        if (2 * (used_ + 1) > codes_.size()) {
            grow();
            slot = slotOf(code);
        }
        codes_[slot] = code;
        ++used_;
        return sums_[slot];
    }

    template <class Visit>
    void forEach(Visit visit) const {
        for (size_t slot = 0; slot < codes_.size(); ++slot)
            if (codes_[slot] != emptyCode) visit(codes_[slot], sums_[slot]);
    }

private:
    static constexpr Code emptyCode = -1;  // labels that name no site are negative and never looked up
    static constexpr int initialCapacityBits = 10;
    static constexpr size_t initialCapacity = size_t(1) << initialCapacityBits;

    // Fibonacci hashing: the high bits of the product, which every bit of the code reaches.
    size_t slotOf(Code code) const {
        const size_t mask = codes_.size() - 1;
        size_t slot = size_t((uint64_t(code) * 0x9E3779B97F4A7C15ull) >> (64 - capacityBits_));
        while (codes_[slot] != code && codes_[slot] != emptyCode) slot = (slot + 1) & mask;
        return slot;
    }

    void grow() {
        ++capacityBits_;
        std::vector<Code> codes(2 * codes_.size(), emptyCode);
        std::vector<SiteSums> sums(codes.size());
        codes.swap(codes_);
        sums.swap(sums_);
        for (size_t slot = 0; slot < codes.size(); ++slot)
            if (codes[slot] != emptyCode) {
                const size_t into = slotOf(codes[slot]);
                codes_[into] = codes[slot];
                sums_[into] = sums[slot];
            }
    }

    std::vector<Code> codes_;
    std::vector<SiteSums> sums_;
    size_t used_ = 0;
    int capacityBits_ = initialCapacityBits;
};

// Parts of whole planes, summed in parallel into tables of their own and then added into the sites'
// rows one part after another. Integer sums: the order does not show. Four parts per host thread
// even out the work; every part more meets most of the sites again and costs their merge.
template <class Code>
bool hostRegionSums(dim3 grid, dim3 block, const Code* labelling, const float* density, const Code* sites,
                    int siteCount, SiteSums* sums, int firstPlane, int planes, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const int begin = std::max(firstPlane, 0), end = std::min(firstPlane + planes, g.z);
    if (begin >= end) return true;
    const int partCount = std::min(end - begin, 4 * hostParallelWidth());
    std::vector<SumsByCode<Code>> parts(static_cast<size_t>(partCount));
    hostParallelFor(partCount, [&](int64_t part) {
        SumsByCode<Code>& table = parts[size_t(part)];
        const int first = begin + int((end - begin) * part / partCount);
        const int last = begin + int((end - begin) * (part + 1) / partCount);
        UInt128 terms[siteSumCount];
        // A row's weights first, in a loop of independent conversions, then its runs.
        std::vector<unsigned long long> weights(size_t(g.x));
        const auto weightAt = [&weights](int at) { return weights[size_t(at)]; };
        for (int z = first; z < last; ++z)
            for (int y = 0; y < g.y; ++y) {
                const size_t row = size_t(g.x) * (y + size_t(g.y) * z);
                const Code* labels = labelling + row;
                for (int x = 0; x < g.x; ++x) weights[size_t(x)] = densityWeight(density[row + size_t(x)]);
                for (int x = 0; x < g.x;) {
                    const Code code = labels[x];
                    if (code < 0) {
                        ++x;
                        continue;
                    }
                    RunMoments run;
                    x = sumRun(labels, weightAt, x, g.x, code, g.codes.x(code), run);
                    if (run.mass == 0) continue;
                    runTerms(run, y - g.codes.y(code), g.wholeZOf(z) - g.codes.z(code), terms);
                    SiteSums& total = table.of(code);
                    for (int k = 0; k < siteSumCount; ++k) total.values[k].add(terms[k]);
                }
            }
    });
    for (const SumsByCode<Code>& table : parts)
        table.forEach([&](Code code, const SiteSums& part) {
            const int s = sitePosition(sites, siteCount, code);
            if (s < 0) return;
            for (int k = 0; k < siteSumCount; ++k) sums[s].values[k].add(part.values[k].value());
        });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelRegionSums<SiteCode>, hostRegionSums<SiteCode>);
CVT_HOST_FAST_PATH(kernelRegionSums<WideSiteCode>, hostRegionSums<WideSiteCode>);

template <class Code>
void launchRegionSums(const Code* labelling, const float* density, const Code* sites, int siteCount, SiteSums* sums,
                      int firstPlane, int planes, GridShape g) {
    LAUNCH_KERNEL(kernelRegionSums<Code>, voxelGrid(g), voxelBlock(), 0, labelling, density, sites, siteCount, sums,
                  firstPlane, planes, g);
}

template void launchRegionSums<SiteCode>(const SiteCode*, const float*, const SiteCode*, int, SiteSums*, int, int,
                                         GridShape);
template void launchRegionSums<WideSiteCode>(const WideSiteCode*, const float*, const WideSiteCode*, int, SiteSums*,
                                             int, int, GridShape);

CVT_END_NAMESPACE
