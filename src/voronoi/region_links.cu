#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "../host/flag_bits.h"
#include "../host/site_code.h"
#include "connected_regions.h"
#include "region_bits.h"

CVT_BEGIN_NAMESPACE

// A warp is one word of a row: each lane works out its voxel's bits, and five lanes then gather one
// map's word each from the lanes' bits in shared memory.
template <class Code>
__global__ void kernelRegionLinks(const Code* labels, const Code* nearestInside, GridShape g, GridBox box,
                                  RegionMaps maps, uint32_t* sites) {
    __shared__ uint32_t laneBits[4][32];
    const int lane = threadIdx.x, warp = threadIdx.y;
    const int y = blockIdx.y * blockDim.y + warp, z = blockIdx.z;
    laneBits[warp][lane] = voxelLinkBits(labels, nearestInside, g, box, blockIdx.x * 32 + lane, y, z);
    __syncwarp();
    const auto gather = [&](uint32_t bit) {
        uint32_t word = 0;
        for (int from = 0; from < 32; ++from) word |= ((laneBits[warp][from] & bit) != 0 ? 1u : 0u) << from;
        return word;
    };
    const int64_t word = rowWord(g, blockIdx.x, y, z);
    if (lane == 0) maps.inside[word] = gather(insideBit);
    if (lane == 1) sites[word] = fillAlongRow(gather(siteBit), gather(nextXBit) & 0x7FFFFFFFu);
    if (lane == 2) maps.nextX[word] = gather(nextXBit);
    if (lane == 3) maps.nextY[word] = gather(nextYBit);
    if (lane == 4) maps.nextZ[word] = gather(nextZBit);
}

template __global__ void kernelRegionLinks<SiteCode>(const SiteCode*, const SiteCode*, GridShape, GridBox, RegionMaps,
                                                     uint32_t*);
template __global__ void kernelRegionLinks<WideSiteCode>(const WideSiteCode*, const WideSiteCode*, GridShape, GridBox,
                                                         RegionMaps, uint32_t*);

namespace {

// Bit i set where values[i] is the code of voxel 32 xWord + i of row (y, z): codes of consecutive x
// differ by one unit of the x field.
template <class Code>
uint32_t ownCodeBits(const Code* values, const GridShape& g, int xWord, int y, int z) {
    const Code first = g.codes.encode<Code>(xWord * 32, y, g.wholeZOf(z)), unit = g.codes.encode<Code>(1, 0, 0);
    uint8_t own[32];
    for (int i = 0; i < 32; ++i) own[i] = values[i] == first + i * unit;
    return packFlags(own);
}

// The inside voxels of a word, as voxelInside has them.
template <class Code>
uint32_t insideWord(const Code* nearestInside, const GridShape& g, GridBox box, int xWord, int y, int z) {
    if (y >= g.y || z >= g.z || !rowInBox(box, y, z) || xWord * 32 >= box.x) return 0;
    const int within = box.x - xWord * 32;
    const uint32_t inBox = within >= 32 ? ~0u : (1u << within) - 1;
    if (nearestInside == nullptr) return inBox;
    return inBox & ownCodeBits(nearestInside + g.index(xWord * 32, y, z), g, xWord, y, z);
}

// The same words as the kernel, 32 voxels at a time.
template <class Code>
bool hostRegionLinks(dim3 grid, dim3 block, const Code* labels, const Code* nearestInside, GridShape g, GridBox box,
                     RegionMaps maps, uint32_t* sites) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const int words = g.x / 32;
    hostParallelFor(int64_t(g.y) * g.z, [=](int64_t row) {
        const int y = int(row % g.y), z = int(row / g.y);
        for (int xWord = 0; xWord < words; ++xWord) {
            const int64_t word = rowWord(g, xWord, y, z);
            const uint32_t inside = insideWord(nearestInside, g, box, xWord, y, z);
            maps.inside[word] = inside;
            if (inside == 0) {
                sites[word] = maps.nextX[word] = maps.nextY[word] = maps.nextZ[word] = 0;
                continue;
            }
            const Code* line = labels + g.index(xWord * 32, y, z);
            // Along x the last voxel of the word looks at the first of the next one, if there is one.
            uint8_t sameAlongX[32];
            for (int i = 0; i < 31; ++i) sameAlongX[i] = line[i] == line[i + 1];
            sameAlongX[31] = xWord + 1 < words && line[31] == line[32];
            const uint32_t insideAlongX = (inside >> 1) | (insideWord(nearestInside, g, box, xWord + 1, y, z) << 31);
            const uint32_t nextX = inside & insideAlongX & packFlags(sameAlongX);
            maps.nextX[word] = nextX;
            maps.nextY[word] =
                y + 1 < g.y ? inside & insideWord(nearestInside, g, box, xWord, y + 1, z) & equalBits(line, line + g.x)
                            : 0;
            maps.nextZ[word] = z + 1 < g.z ? inside & insideWord(nearestInside, g, box, xWord, y, z + 1) &
                                                 equalBits(line, line + int64_t(g.x) * g.y)
                                           : 0;
            sites[word] = fillAlongRow(inside & ownCodeBits(line, g, xWord, y, z), nextX & 0x7FFFFFFFu);
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelRegionLinks<SiteCode>, hostRegionLinks<SiteCode>);
CVT_HOST_FAST_PATH(kernelRegionLinks<WideSiteCode>, hostRegionLinks<WideSiteCode>);

CVT_END_NAMESPACE
