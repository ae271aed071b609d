#include <algorithm>
#include <string>
#include <vector>

#include "../host/launch_shapes.h"
#include "connected_regions.h"
#include "slab_sites.h"

CVT_BEGIN_NAMESPACE

namespace {

// The pass's words in the scratch volume, in 32-bit words of R = voxels / 32: the inside map, the two
// copies of the anchored bits and the three link maps (6 R), then the tiles' flags of change (a byte per
// tile, twice) and the count of changed tiles. Once the anchoring is done only the inside map and the
// anchored bits are read, and the tiles' offsets and the records of detached voxels take the room of
// the link maps and what follows, the records on a boundary of 16 bytes.
struct ScratchLayout {
    RegionMaps maps;
    uint32_t* anchored[2];
    uint8_t* changed[2];
    unsigned* changedTiles;
    int* tileOffsets;  // tiles + 1 of them
    DetachedVoxel* records;
    int64_t recordCapacity;
};

template <class Code>
ScratchLayout layoutIn(Code* scratch, const GridShape& g, const RegionTiles& tiles) {
    uint32_t* const words = reinterpret_cast<uint32_t*>(scratch);
    const int64_t scratchWords = g.voxels() * int64_t(sizeof(Code) / sizeof(uint32_t));
    const int64_t rowWords = g.voxels() / regionTileSide, flagWords = (tiles.count() + 3) / 4;
    ScratchLayout layout;
    layout.maps = RegionMaps{words, words + 3 * rowWords, words + 4 * rowWords, words + 5 * rowWords};
    layout.anchored[0] = words + rowWords;
    layout.anchored[1] = words + 2 * rowWords;
    layout.changed[0] = reinterpret_cast<uint8_t*>(words + 6 * rowWords);
    layout.changed[1] = reinterpret_cast<uint8_t*>(words + 6 * rowWords + flagWords);
    layout.changedTiles = words + 6 * rowWords + 2 * flagWords;
    layout.tileOffsets = reinterpret_cast<int*>(words + 3 * rowWords);
    const int64_t recordsStart = (3 * rowWords + tiles.count() + 1 + 3) / 4 * 4;
    layout.records = reinterpret_cast<DetachedVoxel*>(words + recordsStart);
    layout.recordCapacity = (scratchWords - recordsStart) / int64_t(sizeof(DetachedVoxel) / sizeof(uint32_t));
    return layout;
}

template <class Code>
void requireConnectable(const Code* labels, const Code* scratch, const GridShape& g, GridBox box) {
    if (labels == nullptr || scratch == nullptr)
        throw Failure("making regions connected needs a labelling and a scratch volume");
    if (!isOnSteps(g))
        throw Failure("cannot make the regions of grid " + shapeText(g) + " connected: it must have " + stepsRule());
    if (box.x <= 0 || box.y <= 0 || box.z <= 0 || box.x > g.x || box.y > g.y || box.z > g.z)
        throw Failure("cannot make regions connected in a box that grid " + shapeText(g) + " does not hold");
    if (g.codes.wide != (sizeof(Code) == sizeof(WideSiteCode)))
        throw Failure("cannot make the regions of grid " + shapeText(g) + " connected with codes of another width");
}

void requireWholeGrid(const GridShape& g) {
    if (g.zOrigin != 0 || (g.wholeZ != 0 && g.wholeZ != g.z))
        throw Failure("making regions connected works on a whole grid, not on a slab of one");
}

int64_t planeWordCount(const GridShape& g) { return int64_t(g.x) * g.y / regionTileSide; }
int64_t firstWordOf(const GridShape& g, int plane) { return planeWordCount(g) * plane; }

// The neighbours' anchored words of a plane join the voxels anchored there from its own sites.
void addAnchors(uint32_t* anchored, const GridShape& g, int plane, const std::vector<uint32_t>& words) {
    if (words.empty()) return;
    std::vector<uint32_t> own = planeWords(anchored, g, plane);
    if (own.size() != words.size()) throw Failure("a neighbour's anchored plane has the wrong size");
    for (size_t w = 0; w < own.size(); ++w) own[w] |= words[w];
    checkCuda(cudaMemcpy(anchored + firstWordOf(g, plane), own.data(), own.size() * sizeof(uint32_t),
                         cudaMemcpyHostToDevice),
              "storing the neighbours' anchored voxels");
}

// Leaves the anchored bits in one of the two copies (after the last pass, which changed nothing, both
// hold them) and returns it.
template <class Code>
const uint32_t* anchorVoxels(const Code* labels, const Code* nearestInside, const GridShape& g, GridBox box,
                             const RegionPlanes& planes, const NeighbourAnchors& anchors, const ScratchLayout& s) {
    const RegionTiles tiles = regionTilesOf(box);
    LAUNCH_KERNEL(kernelRegionLinks<Code>, voxelGrid(g), voxelBlock(), 0, labels, nearestInside, g, box, s.maps,
                  s.anchored[0]);
    // The planes below the slab's and its neighbours' hold nothing of its regions.
    const size_t outsideBytes = size_t(firstWordOf(g, planes.lowest())) * sizeof(uint32_t);
    for (uint32_t* map : {s.maps.inside, s.maps.nextX, s.maps.nextY, s.maps.nextZ, s.anchored[0]})
        checkCuda(cudaMemset(map, 0, outsideBytes), "leaving out the planes below the slab");
    if (planes.below) addAnchors(s.anchored[0], g, planes.lowest(), anchors.below);
    if (planes.above) addAnchors(s.anchored[0], g, planes.end, anchors.above);
    checkCuda(cudaMemset(s.changed[0], 1, size_t(tiles.count())), "marking every tile for the first anchoring pass");
    for (int pass = 0;; ++pass) {
        checkCuda(cudaMemset(s.changedTiles, 0, sizeof(unsigned)), "clearing the count of changed tiles");
        LAUNCH_KERNEL(kernelAnchorTiles, tileGrid(box), tileBlock(), 0, s.maps, s.anchored[pass & 1],
                      s.anchored[(pass + 1) & 1], s.changed[pass & 1], s.changed[(pass + 1) & 1], s.changedTiles, g,
                      box);
        unsigned changed = 0;
        checkCuda(cudaMemcpy(&changed, s.changedTiles, sizeof changed, cudaMemcpyDeviceToHost),
                  "reading the count of changed tiles");
        if (changed == 0) return s.anchored[0];
    }
}

// The detached voxels' records, tile after tile, as many at a time as the scratch volume holds.
template <class Code>
std::vector<DetachedVoxel> describeDetached(const Code* labels, const uint32_t* anchored, const GridShape& g,
                                            GridBox box, const ScratchLayout& s) {
    const RegionTiles tiles = regionTilesOf(box);
    const size_t tileCount = size_t(tiles.count());
    checkCuda(cudaMemset(s.tileOffsets, 0, tileCount * sizeof(int)), "clearing the counts of detached voxels");
    LAUNCH_KERNEL(kernelCountDetached, tileGrid(box), tileBlock(), 0, s.maps, anchored, s.tileOffsets, g, box);
    std::vector<int> offsets(tileCount + 1, 0);
    checkCuda(cudaMemcpy(offsets.data() + 1, s.tileOffsets, tileCount * sizeof(int), cudaMemcpyDeviceToHost),
              "reading the counts of detached voxels");
    for (size_t tile = 0; tile < tileCount; ++tile) offsets[tile + 1] += offsets[tile];
    const int total = offsets.back();
    std::vector<DetachedVoxel> detached(static_cast<size_t>(total));
    if (total == 0) return detached;
    checkCuda(cudaMemcpy(s.tileOffsets, offsets.data(), offsets.size() * sizeof(int), cudaMemcpyHostToDevice),
              "storing the offsets of detached voxels");
    for (int64_t begin = 0; begin < total; begin += s.recordCapacity) {
        const int end = int(std::min<int64_t>(total, begin + s.recordCapacity));
        LAUNCH_KERNEL(kernelDescribeDetached<Code>, tileGrid(box), tileBlock(), 0, labels, s.maps, anchored, s.tileOffsets,
                      int(begin), end, s.records, g, box);
        checkCuda(cudaMemcpy(detached.data() + begin, s.records, size_t(end - begin) * sizeof(DetachedVoxel),
                             cudaMemcpyDeviceToHost),
                  "reading the detached voxels");
    }
    return detached;
}

}  // namespace

template <class Code>
SiteIds downloadSites(const DeviceSiteTable<Code>& sites) {
    const size_t count = size_t(std::max(sites.count, 0));
    std::vector<Code> codes(count);
    SiteIds host{std::vector<int64_t>(count), std::vector<int32_t>(count)};
    if (count == 0) return host;
    checkCuda(cudaMemcpy(codes.data(), sites.codes, count * sizeof(Code), cudaMemcpyDeviceToHost),
              "reading the site codes");
    checkCuda(cudaMemcpy(host.ids.data(), sites.ids, count * sizeof(int), cudaMemcpyDeviceToHost),
              "reading the site ids");
    std::copy(codes.begin(), codes.end(), host.codes.begin());
    return host;
}

// Through the scratch volume, half of it for voxels and half for labels at a time.
template <class Code>
void storeNewLabels(Code* labels, Code* scratch, const GridShape& g, const DetachedResolution& resolution) {
    const int64_t chunk = g.voxels() / 2;
    const int64_t count = int64_t(resolution.voxels.size());
    for (int64_t begin = 0; begin < count; begin += chunk) {
        const int part = int(std::min(chunk, count - begin));
        const std::vector<CodeIndex<Code>> voxels(resolution.voxels.begin() + begin,
                                                  resolution.voxels.begin() + begin + part);
        const std::vector<Code> codes(resolution.codes.begin() + begin, resolution.codes.begin() + begin + part);
        checkCuda(cudaMemcpy(scratch, voxels.data(), size_t(part) * sizeof(Code), cudaMemcpyHostToDevice),
                  "uploading the voxels that change label");
        checkCuda(cudaMemcpy(scratch + chunk, codes.data(), size_t(part) * sizeof(Code), cudaMemcpyHostToDevice),
                  "uploading the new labels");
        const int threads = 256;
        LAUNCH_KERNEL(kernelScatterCodes<Code>, dim3(unsigned((part + threads - 1) / threads)), dim3(threads), 0,
                      labels, scratch, scratch + chunk, part);
    }
}

std::vector<uint32_t> planeWords(const uint32_t* words, const GridShape& g, int plane) {
    std::vector<uint32_t> host(size_t(planeWordCount(g)));
    checkCuda(cudaMemcpy(host.data(), words + firstWordOf(g, plane), host.size() * sizeof(uint32_t),
                         cudaMemcpyDeviceToHost),
              "reading a plane's anchored voxels");
    return host;
}

template <class Code>
const uint32_t* markSlabAnchoredVoxels(const Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                       const CodeOf<Code>* nearestInside, const RegionPlanes& planes,
                                       const NeighbourAnchors& anchors) {
    requireConnectable(labels, scratch, g, box);
    if (planes.lowest() < 0 || planes.first >= planes.end || planes.end + int(planes.above) > box.z)
        throw Failure("cannot make regions connected on planes that grid " + shapeText(g) + "'s box does not hold");
    return anchorVoxels(labels, nearestInside, g, box, planes, anchors, layoutIn(scratch, g, regionTilesOf(box)));
}

template <class Code>
const uint32_t* markAnchoredVoxels(const Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                   const CodeOf<Code>* nearestInside) {
    requireWholeGrid(g);
    return markSlabAnchoredVoxels(labels, scratch, g, box, nearestInside, RegionPlanes{0, box.z}, {});
}

template <class Code>
std::vector<DetachedVoxel> detachedVoxels(const Code* labels, Code* scratch, const uint32_t* anchored,
                                          const GridShape& g, GridBox box, const RegionPlanes& planes) {
    std::vector<DetachedVoxel> detached =
        describeDetached(labels, anchored, g, box, layoutIn(scratch, g, regionTilesOf(box)));
    // The neighbours' planes have records of their own slabs' voxels there.
    const int64_t begin = g.index(0, 0, planes.first), end = g.index(0, 0, planes.end);
    detached.erase(std::remove_if(detached.begin(), detached.end(),
                                  [&](const DetachedVoxel& d) { return d.voxel < begin || d.voxel >= end; }),
                   detached.end());
    return detached;
}

template <class Code>
ConnectedRegionsCount makeRegionsConnected(Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                           const CodeOf<Code>* nearestInside, const DeviceSiteTable<Code>& sites) {
    const uint32_t* anchored = markAnchoredVoxels(labels, scratch, g, box, nearestInside);
    std::vector<DetachedVoxel> detached = detachedVoxels(labels, scratch, anchored, g, box, RegionPlanes{0, box.z});
    if (detached.empty()) return {};
    const DetachedResolution resolution = resolveDetachedPieces(std::move(detached), g, downloadSites(sites));
    storeNewLabels(labels, scratch, g, resolution);
    return ConnectedRegionsCount{resolution.voxels.size(), resolution.apartPieces};
}

// Both code widths.
#define CVT_CONNECTED_REGIONS_FOR(Code)                                                                          \
    template const uint32_t* markAnchoredVoxels<Code>(const Code*, Code*, const GridShape&, GridBox, const Code*); \
    template const uint32_t* markSlabAnchoredVoxels<Code>(const Code*, Code*, const GridShape&, GridBox,          \
                                                          const Code*, const RegionPlanes&,                       \
                                                          const NeighbourAnchors&);                               \
    template std::vector<DetachedVoxel> detachedVoxels<Code>(const Code*, Code*, const uint32_t*,                 \
                                                             const GridShape&, GridBox, const RegionPlanes&);    \
    template void storeNewLabels<Code>(Code*, Code*, const GridShape&, const DetachedResolution&);                \
    template SiteIds downloadSites<Code>(const DeviceSiteTable<Code>&);                                           \
    template ConnectedRegionsCount makeRegionsConnected<Code>(Code*, Code*, const GridShape&, GridBox, const Code*, \
                                                              const DeviceSiteTable<Code>&);
CVT_CONNECTED_REGIONS_FOR(SiteCode)
CVT_CONNECTED_REGIONS_FOR(WideSiteCode)
#undef CVT_CONNECTED_REGIONS_FOR

CVT_END_NAMESPACE
