#include "../device/fast_path.h"
#include "../device/launch_shapes.h"
#include "connected_regions.h"
#include "region_bits.h"

CVT_BEGIN_NAMESPACE

// A warp is one word of a row: each lane works out its voxel's bits, and five lanes then gather one
// map's word each from the lanes' bits in shared memory.
__global__ void kernelRegionLinks(const int* labels, const int* nearestInside, GridShape g, GridBox box,
                                  RegionMaps maps, uint32_t* sites) {
    __shared__ uint32_t laneBits[4][32];
    const int lane = threadIdx.x, warp = threadIdx.y;
    const int y = blockIdx.y * blockDim.y + warp, z = blockIdx.z;
    laneBits[warp][lane] = voxelLinkBits(labels, nearestInside, g, box, blockIdx.x * 32 + lane, y, z);
    __syncwarp();
    uint32_t* const destinations[5] = {maps.inside, sites, maps.nextX, maps.nextY, maps.nextZ};
    if (lane < 5) {
        uint32_t word = 0;
        for (int from = 0; from < 32; ++from) word |= ((laneBits[warp][from] >> lane) & 1u) << from;
        destinations[lane][rowWord(g, blockIdx.x, y, z)] = word;
    }
}

namespace {

// Row by row, each word from its 32 voxels.
bool hostRegionLinks(dim3 grid, dim3 block, const int* labels, const int* nearestInside, GridShape g, GridBox box,
                     RegionMaps maps, uint32_t* sites) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    hostParallelFor(int64_t(g.y) * g.z, [=](int64_t row) {
        const int y = int(row % g.y), z = int(row / g.y);
        for (int xWord = 0; xWord < g.x / 32; ++xWord) {
            uint32_t words[5] = {};
            for (int bit = 0; bit < 32; ++bit) {
                const uint32_t bits = voxelLinkBits(labels, nearestInside, g, box, xWord * 32 + bit, y, z);
                for (int map = 0; map < 5; ++map) words[map] |= ((bits >> map) & 1u) << bit;
            }
            const int64_t word = rowWord(g, xWord, y, z);
            maps.inside[word] = words[0];
            sites[word] = words[1];
            maps.nextX[word] = words[2];
            maps.nextY[word] = words[3];
            maps.nextZ[word] = words[4];
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelRegionLinks, hostRegionLinks);

CVT_END_NAMESPACE
