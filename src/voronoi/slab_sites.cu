#include "slab_sites.h"

#include <unordered_map>

#include "../host/launch_shapes.h"
#include "../driver/fill.h"
#include "../host/buffers.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

SlabSiteEntries slabSiteEntries(const std::vector<int>& codes, const GridShape& g, int firstPlane, int planes) {
    const int begin = g.wholeZOf(firstPlane), end = begin + planes;
    // The nearest site below and above the slab, by column (x + X y).
    std::unordered_map<int, int> below, above;
    SlabSiteEntries entries;
    for (const int code : codes) {
        const int x = g.codes.x(code), y = g.codes.y(code), z = g.codes.z(code);
        if (z >= begin && z < end) {
            entries.voxels.push_back(g.index(x, y, z - g.zOrigin));
            entries.codes.push_back(code);
            continue;
        }
        const int column = g.index(x, y, 0);
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

__global__ void kernelScatterCodes(int* volume, const int* voxels, const int* codes, int count) {
    const int entry = int(blockIdx.x * blockDim.x + threadIdx.x);
    if (entry < count) volume[voxels[entry]] = codes[entry];
}

__global__ void kernelGatherCodes(const int* volume, const int* voxels, int* codes, int count) {
    const int entry = int(blockIdx.x * blockDim.x + threadIdx.x);
    if (entry < count) codes[entry] = volume[voxels[entry]];
}

void uploadSlabSites(const SlabSiteEntries& entries, int* voxels, int* codes) {
    const GridShape g = gridSize;
    int* volume = voronoiBuffers[voronoiIndex];
    LAUNCH_KERNEL(kernelFill, voxelGrid(g), voxelBlock(), 0, volume, EMPTY_SITE, g);
    const int count = int(entries.voxels.size());
    if (count == 0) return;
    const size_t bytes = size_t(count) * sizeof(int);
    checkCuda(cudaMemcpy(voxels, entries.voxels.data(), bytes, cudaMemcpyHostToDevice), "uploading the sites' voxels");
    checkCuda(cudaMemcpy(codes, entries.codes.data(), bytes, cudaMemcpyHostToDevice), "uploading the sites' codes");
    const int threads = 256;
    LAUNCH_KERNEL(kernelScatterCodes, dim3((count + threads - 1) / threads), dim3(threads), 0, volume, voxels, codes,
                  count);
}

CVT_END_NAMESPACE
