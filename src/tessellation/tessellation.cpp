#include "tessellation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "device/failure.h"
#include "formats/large_buffer.h"
#include "pieces.h"

namespace cvt::volume {
namespace {

// Site codes pack x, y and z with x highest: sorted codes are sites sorted by x, y, z.
std::array<int, 3> coordinatesOf(int64_t code, const SiteLayout& codes) { return {codes.x(code), codes.y(code), codes.z(code)}; }

}  // namespace

SiteIds::SiteIds(std::vector<int64_t> codes, std::vector<int64_t> initialIndex)
    : codes_(std::move(codes)), initialIndex_(std::move(initialIndex)) {
    if (initialIndex_.empty()) initialIndex_.assign(codes_.size(), -1);
    byCode_.reserve(codes_.size());
    for (size_t id = 0; id < codes_.size(); ++id) byCode_.emplace_back(codes_[id], uint32_t(id));
    std::sort(byCode_.begin(), byCode_.end());
}

SiteIds SiteIds::ofRun(const SiteList& sites, bool given) {
    std::vector<size_t> order(sites.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (!given) std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sites.codes[a] < sites.codes[b]; });
    std::vector<int64_t> codes;
    std::vector<int64_t> initialIndex;
    for (const size_t i : order) {
        codes.push_back(sites.codes[i]);
        initialIndex.push_back(sites.origins[i]);
    }
    return SiteIds(std::move(codes), std::move(initialIndex));
}

template <class Code>
SiteIds SiteIds::ofLabelling(const Code* labelling, const GridShape& grid, GridBox box) {
    // Every site labels its own voxel, so the sites are the voxels of the box that their label names.
    std::vector<int64_t> codes;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x)
                if (labelling[size_t(grid.index(x, y, z))] == grid.codes.encode<Code>(x, y, z))
                    codes.push_back(grid.codes.encode(x, y, z));
    std::sort(codes.begin(), codes.end());
    return SiteIds(std::move(codes));
}

int64_t SiteIds::idOf(int64_t code) const {
    const auto found = std::lower_bound(byCode_.begin(), byCode_.end(), std::pair<int64_t, uint32_t>(code, 0));
    return found != byCode_.end() && found->first == code ? int64_t(found->second) : -1;
}

size_t Tessellation::splitRegions() const {
    return size_t(std::count_if(pieces.begin(), pieces.end(), [](uint32_t count) { return count > 1; }));
}

double Tessellation::largestCentroidDistance(const Spacing& spacing) const {
    double largest = 0;
    for (size_t id = 0; id < sites.size(); ++id) {
        if (!(mass[id] > 0)) continue;
        double squared = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double offset = (centroids[id][axis] - sites[id][axis]) * spacing[axis];
            squared += offset * offset;
        }
        largest = std::max(largest, std::sqrt(squared));
    }
    return largest;
}

template <class Code>
void tabulatePlanes(const Code* labelling, const GridShape& grid, GridBox planes, int firstPlane,
                    const SiteIds& ids, const float* density, const uint8_t* inside, Tessellation& result) {
    formats::resizeLarge(result.labels, size_t(planes.x) * planes.y * planes.z);
    // Labels come in runs along x, so the last lookup is usually the next one's answer.
    Code lastCode = -1;
    uint32_t lastId = 0;
    size_t voxel = 0;
    for (int z = 0; z < planes.z; ++z)
        for (int y = 0; y < planes.y; ++y) {
            const Code* row = labelling + size_t(grid.index(0, y, z));
            for (int x = 0; x < planes.x; ++x, ++voxel) {
                if (inside != nullptr && !inside[voxel]) {
                    result.labels[voxel] = 0;
                    continue;
                }
                if (row[x] != lastCode) {
                    const int64_t id = ids.idOf(row[x]);
                    if (id < 0)
                        throw Failure("the labelling names a site outside the box at voxel (" + std::to_string(x) +
                                      ", " + std::to_string(y) + ", " + std::to_string(firstPlane + z) + ")");
                    lastCode = row[x];
                    lastId = uint32_t(id);
                }
                const double rho = density[voxel];
                std::array<double, 3>& weighted = result.centroids[lastId];
                result.labels[voxel] = lastId + result.firstId;
                result.mass[lastId] += rho;
                weighted[0] += rho * x;
                weighted[1] += rho * y;
                weighted[2] += rho * (firstPlane + z);
                ++result.voxels[lastId];
            }
        }
}

void finishCentroids(Tessellation& result) {
    for (size_t id = 0; id < result.centroids.size(); ++id)
        for (double& coordinate : result.centroids[id])
            coordinate = result.mass[id] > 0 ? coordinate / result.mass[id] : std::numeric_limits<double>::quiet_NaN();
}

namespace {

// The pieces of every label, each slab counting its own and the runs on the planes between slabs
// joining them.
std::vector<uint32_t> piecesOfLabels(const std::vector<uint32_t>& labels, GridBox planes, size_t labelCount,
                                     bool zeroIsOutside, RankGroup& ranks) {
    const SlabPieces mine = countSlabPieces(labels.data(), planes, labelCount, zeroIsOutside);
    const std::vector<std::vector<PlaneRun>> bottoms = ranks.gatherEach(mine.bottom);
    const std::vector<std::vector<PlaneRun>> tops = ranks.gatherEach(mine.top);
    std::vector<std::vector<PieceJoin>> joins;
    for (size_t rank = 0; rank + 1 < tops.size(); ++rank)
        joins.push_back(joinAcrossBoundary(tops[rank], bottoms[rank + 1]));
    return mergeSlabCounts(ranks.gatherEach(mine.count), joins);
}

}  // namespace

template <class Code>
Tessellation tabulate(const Code* labelling, const GridShape& grid, GridBox box, Slab slab, const float* density,
                      const uint8_t* inside, uint32_t firstId, const std::optional<SiteIds>& ids, RankGroup& ranks) {
    if (inside != nullptr && firstId == 0) throw Failure("with a mask, label 0 is the outside: ids start at 1");
    const GridBox planes{box.x, box.y, slab.planes()};
    const SiteIds sites = ids ? *ids : SiteIds::ofLabelling(labelling, grid, planes);
    const size_t count = sites.codes().size();
    Tessellation result;
    result.box = box;
    result.firstId = firstId;
    result.sites = siteCoordinates(sites.codes(), grid.codes);
    result.initialIndex = sites.initialIndex();
    result.voxels.assign(count, 0);
    // The masses and the centroids' sums are float sums in voxel order: each rank goes on from where
    // the rank below left them.
    std::vector<double> sums(4 * count, 0.0);  // the mass, then the weighted x, y and z, of every site
    ranks.inRankOrder(sums, [&](std::vector<double>& running) {
        result.mass.resize(count);
        result.centroids.resize(count);
        for (size_t id = 0; id < count; ++id) {
            result.mass[id] = running[4 * id];
            std::copy_n(&running[4 * id + 1], 3, result.centroids[id].begin());
        }
        tabulatePlanes(labelling, grid, planes, slab.begin, sites, density, inside, result);
        for (size_t id = 0; id < count; ++id) {
            running[4 * id] = result.mass[id];
            std::copy_n(result.centroids[id].begin(), 3, &running[4 * id + 1]);
        }
    });
    for (size_t id = 0; id < count; ++id) {
        result.mass[id] = sums[4 * id];
        std::copy_n(&sums[4 * id + 1], 3, result.centroids[id].begin());
    }
    finishCentroids(result);
    ranks.sum(result.voxels.data(), count);
    const std::vector<uint32_t> pieces = piecesOfLabels(result.labels, planes, count + firstId, inside != nullptr, ranks);
    result.pieces.assign(pieces.begin() + firstId, pieces.end());
    return result;
}

template <class Code>
Tessellation tabulate(const Code* labelling, const GridShape& grid, GridBox box, const float* density,
                      const uint8_t* inside, uint32_t firstId, const std::optional<SiteIds>& ids) {
    LoneRank alone;
    return tabulate(labelling, grid, box, Slab{0, box.z}, density, inside, firstId, ids, alone);
}

std::vector<std::array<int, 3>> siteCoordinates(const std::vector<int64_t>& codes, const SiteLayout& layout) {
    std::vector<std::array<int, 3>> sites;
    for (int64_t code : codes) sites.push_back(coordinatesOf(code, layout));
    return sites;
}

template SiteIds SiteIds::ofLabelling<int32_t>(const int32_t*, const GridShape&, GridBox);
template SiteIds SiteIds::ofLabelling<int64_t>(const int64_t*, const GridShape&, GridBox);
template void tabulatePlanes<int32_t>(const int32_t*, const GridShape&, GridBox, int, const SiteIds&, const float*,
                                      const uint8_t*, Tessellation&);
template void tabulatePlanes<int64_t>(const int64_t*, const GridShape&, GridBox, int, const SiteIds&, const float*,
                                      const uint8_t*, Tessellation&);
template Tessellation tabulate<int32_t>(const int32_t*, const GridShape&, GridBox, const float*, const uint8_t*,
                                        uint32_t, const std::optional<SiteIds>&);
template Tessellation tabulate<int64_t>(const int64_t*, const GridShape&, GridBox, const float*, const uint8_t*,
                                        uint32_t, const std::optional<SiteIds>&);
template Tessellation tabulate<int32_t>(const int32_t*, const GridShape&, GridBox, Slab, const float*, const uint8_t*,
                                        uint32_t, const std::optional<SiteIds>&, RankGroup&);
template Tessellation tabulate<int64_t>(const int64_t*, const GridShape&, GridBox, Slab, const float*, const uint8_t*,
                                        uint32_t, const std::optional<SiteIds>&, RankGroup&);

}  // namespace cvt::volume
