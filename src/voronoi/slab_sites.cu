#include "slab_sites.h"

#include <unordered_map>

#include "../host/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

SlabSiteEntries slabSiteEntries(const std::vector<int64_t>& codes, const GridShape& g, int firstPlane, int planes) {
    const int begin = g.wholeZOf(firstPlane), end = begin + planes;
    // The nearest site below and above the slab, by column (x + X y).
    std::unordered_map<int64_t, int64_t> below, above;
    SlabSiteEntries entries;
    for (const int64_t code : codes) {
        const int x = g.codes.x(code), y = g.codes.y(code), z = g.codes.z(code);
        if (z >= begin && z < end) {
            entries.voxels.push_back(g.index(x, y, z - g.zOrigin));
            entries.codes.push_back(code);
            continue;
        }
        const int64_t column = g.index(x, y, 0);
        auto [nearest, first] = (z < begin ? below : above).try_emplace(column, code);
        if (!first && (z < begin ? z > g.codes.z(nearest->second) : z < g.codes.z(nearest->second)))
            nearest->second = code;
    }
    for (const auto& [column, code] : below) {
        entries.voxels.push_back(column + g.index(0, 0, firstPlane - 1));
        entries.codes.push_back(code);
    }
    for (const auto& [column, code] : above) {
        entries.voxels.push_back(column + g.index(0, 0, firstPlane + planes));
        entries.codes.push_back(code);
    }
    return entries;
}

template <class Code>
__global__ void kernelScatterCodes(Code* volume, const CodeIndex<Code>* voxels, const Code* codes, int count) {
    const int entry = int(blockIdx.x * blockDim.x + threadIdx.x);
    if (entry < count) volume[voxels[entry]] = codes[entry];
}

template <class Code>
__global__ void kernelGatherCodes(const Code* volume, const CodeIndex<Code>* voxels, Code* codes, int count) {
    const int entry = int(blockIdx.x * blockDim.x + threadIdx.x);
    if (entry < count) codes[entry] = volume[voxels[entry]];
}

template __global__ void kernelScatterCodes<SiteCode>(SiteCode*, const SiteCode*, const SiteCode*, int);
template __global__ void kernelScatterCodes<WideSiteCode>(WideSiteCode*, const WideSiteCode*, const WideSiteCode*,
                                                          int);
template __global__ void kernelGatherCodes<SiteCode>(const SiteCode*, const SiteCode*, SiteCode*, int);
template __global__ void kernelGatherCodes<WideSiteCode>(const WideSiteCode*, const WideSiteCode*, WideSiteCode*, int);

void uploadSlabSites(const SlabSiteEntries& entries, DeviceCodes& voxels, DeviceCodes& codes) {
    const GridShape g = gridSize;
    if (voxels.wide() != g.codes.wide || codes.wide() != g.codes.wide)
        throw Failure("the arrays of a slab's sites do not have the width of the grid's codes");
    const int count = int(entries.voxels.size());
    if (count > 0) {
        voxels.upload(entries.voxels.data(), size_t(count), "uploading the sites' voxels");
        codes.upload(entries.codes.data(), size_t(count), "uploading the sites' codes");
    }
    withCodeType(g.codes.wide, [&](auto code) {
        using Code = decltype(code);
        Code* volume = codesIn<Code>(voronoiBuffers[voronoiIndex]);
        LAUNCH_KERNEL(kernelFill<Code>, voxelGrid(g), voxelBlock(), 0, volume, emptySite<Code>, g);
        if (count == 0) return;
        const int threads = 256;
        LAUNCH_KERNEL(kernelScatterCodes<Code>, dim3((count + threads - 1) / threads), dim3(threads), 0, volume,
                      voxels.get<Code>(), codes.get<Code>(), count);
    });
}

CVT_END_NAMESPACE
