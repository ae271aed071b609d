#include "slab_regions.h"

#include <algorithm>
#include <vector>

CVT_BEGIN_NAMESPACE

namespace {

// Gives the rank below `down` and the rank above `up` (where there are such ranks), and returns what
// they gave in turn: the rank below's in `fromBelow`, the rank above's in `fromAbove`. Even ranks send
// first and odd ranks receive first, so that no two neighbours wait on each other.
template <class T>
void swapWithNeighbours(RankGroup& ranks, const RegionPlanes& planes, const std::vector<T>& down,
                        const std::vector<T>& up, std::vector<T>& fromBelow, std::vector<T>& fromAbove) {
    const int rank = ranks.rank();
    fromBelow.resize(planes.below ? down.size() : 0);
    fromAbove.resize(planes.above ? up.size() : 0);
    const auto send = [&](int to, const std::vector<T>& values) { ranks.send(to, values.data(), values.size() * sizeof(T)); };
    const auto receive = [&](int from, std::vector<T>& values) {
        ranks.receive(from, values.data(), values.size() * sizeof(T));
    };
    const bool sendsFirst = rank % 2 == 0;
    // Upwards: this rank's last plane to the rank above, the rank below's last plane here.
    if (sendsFirst && planes.above) send(rank + 1, up);
    if (planes.below) receive(rank - 1, fromBelow);
    if (!sendsFirst && planes.above) send(rank + 1, up);
    // Downwards.
    if (sendsFirst && planes.below) send(rank - 1, down);
    if (planes.above) receive(rank + 1, fromAbove);
    if (!sendsFirst && planes.below) send(rank - 1, down);
}

template <class Code>
std::vector<Code> planeLabels(const Code* labels, const GridShape& g, int plane) {
    std::vector<Code> values(size_t(g.x) * size_t(g.y));
    checkCuda(cudaMemcpy(values.data(), labels + g.index(0, 0, plane), values.size() * sizeof(Code),
                         cudaMemcpyDeviceToHost),
              "reading a plane of labels for the neighbouring slabs");
    return values;
}

template <class Code>
void storePlaneLabels(Code* labels, const GridShape& g, int plane, const std::vector<Code>& values) {
    checkCuda(cudaMemcpy(labels + g.index(0, 0, plane), values.data(), values.size() * sizeof(Code),
                         cudaMemcpyHostToDevice),
              "storing a neighbouring slab's plane of labels");
}

// The neighbours' nearest planes of labels into the planes next to this slab's.
template <class Code>
void takeNeighbourLabels(Code* labels, const GridShape& g, const RegionPlanes& planes, RankGroup& ranks) {
    if (!planes.below && !planes.above) return;
    std::vector<Code> fromBelow, fromAbove;
    swapWithNeighbours(ranks, planes, planes.below ? planeLabels(labels, g, planes.first) : std::vector<Code>{},
                       planes.above ? planeLabels(labels, g, planes.end - 1) : std::vector<Code>{}, fromBelow,
                       fromAbove);
    if (planes.below) storePlaneLabels(labels, g, planes.lowest(), fromBelow);
    if (planes.above) storePlaneLabels(labels, g, planes.end, fromAbove);
}

// Anchors in rounds until no rank's report changes; returns the anchored bits, as they stand.
template <class Code>
const uint32_t* anchorAcrossSlabs(const Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                  const RegionPlanes& planes, const Code* nearestInside, RankGroup& ranks) {
    NeighbourAnchors anchors;
    for (;;) {
        const uint32_t* anchored = markSlabAnchoredVoxels(labels, scratch, g, box, nearestInside, planes, anchors);
        if (ranks.size() == 1) return anchored;
        NeighbourAnchors reported;
        swapWithNeighbours(ranks, planes, planes.below ? planeWords(anchored, g, planes.first) : std::vector<uint32_t>{},
                           planes.above ? planeWords(anchored, g, planes.end - 1) : std::vector<uint32_t>{},
                           reported.below, reported.above);
        uint64_t changed = reported.below != anchors.below || reported.above != anchors.above;
        ranks.sum(&changed, 1);
        if (changed == 0) return anchored;
        anchors = std::move(reported);
    }
}

}  // namespace

template <class Code>
ConnectedRegionsCount makeSlabRegionsConnected(Code* labels, Code* scratch, const GridShape& g, GridBox box,
                                               const RegionPlanes& planes, const CodeOf<Code>* nearestInside,
                                               const DeviceSiteTable<Code>& sites, RankGroup& ranks) {
    takeNeighbourLabels(labels, g, planes, ranks);
    const uint32_t* anchored = anchorAcrossSlabs(labels, scratch, g, box, planes, nearestInside, ranks);
    std::vector<DetachedVoxel> mine = detachedVoxels(labels, scratch, anchored, g, box, planes);
    // In the whole grid's voxels, which share the slab grid's rows and planes.
    const int64_t offset = int64_t(g.x) * g.y * g.zOrigin;
    for (DetachedVoxel& d : mine) d.voxel += offset;
    std::vector<DetachedVoxel> detached = ranks.gatherAll(mine);
    if (detached.empty()) return {};
    DetachedResolution resolution = resolveDetachedPieces(std::move(detached), g.whole(), downloadSites(sites));
    const ConnectedRegionsCount count{resolution.voxels.size(), resolution.apartPieces};
    // This rank's own voxels, back in its grid.
    const int64_t begin = g.index(0, 0, planes.first) + offset, end = g.index(0, 0, planes.end) + offset;
    size_t kept = 0;
    for (size_t i = 0; i < resolution.voxels.size(); ++i)
        if (resolution.voxels[i] >= begin && resolution.voxels[i] < end) {
            resolution.voxels[kept] = resolution.voxels[i] - offset;
            resolution.codes[kept++] = resolution.codes[i];
        }
    resolution.voxels.resize(kept);
    resolution.codes.resize(kept);
    storeNewLabels(labels, scratch, g, resolution);
    return count;
}

template ConnectedRegionsCount makeSlabRegionsConnected<SiteCode>(SiteCode*, SiteCode*, const GridShape&, GridBox,
                                                                  const RegionPlanes&, const SiteCode*,
                                                                  const DeviceSiteTable<SiteCode>&, RankGroup&);
template ConnectedRegionsCount makeSlabRegionsConnected<WideSiteCode>(WideSiteCode*, WideSiteCode*, const GridShape&,
                                                                      GridBox, const RegionPlanes&, const WideSiteCode*,
                                                                      const DeviceSiteTable<WideSiteCode>&, RankGroup&);

CVT_END_NAMESPACE
