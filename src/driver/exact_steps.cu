#include "exact_steps.h"

#include <algorithm>
#include <numeric>
#include <string>

#include "../centroid/region_sums.h"
#include "../host/buffers.h"
#include "../host/site_code.h"
#include "../voronoi/slab_sites.h"
#include "../voronoi/voronoi.h"
#include "slab_regions.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int gatherThreads = 256;

// The sums of every rank added up. Only the first moments of each site and the squared offsets of all
// regions matter from here on, so only those travel.
void sumOverRanks(RankGroup& ranks, std::vector<SiteSums>& sums, SquaredOffsets& squared) {
    std::vector<WideSum> values;
    values.reserve(4 * sums.size() + 3);
    for (const SiteSums& site : sums) values.insert(values.end(), site.values, site.values + sumZ + 1);
    for (const UInt128 total : {squared.xx, squared.yy, squared.zz}) values.emplace_back().add(total);
    ranks.sum(values.data(), values.size());
    for (size_t row = 0; row < sums.size(); ++row) std::copy_n(&values[4 * row], sumZ + 1, sums[row].values);
    const WideSum* totals = &values[4 * sums.size()];
    squared = SquaredOffsets{totals[0].value(), totals[1].value(), totals[2].value()};
}

}  // namespace

ExactStepsBytes exactStepsBytes(uint64_t sites, int codeBytes) {
    // Device: entry voxels and codes and the increasing codes (each of the codes' width), their ids, the
    // sums. Host: the list (codes and origins), its increasing codes and their rows, the sums, a moved
    // list, and the set that finds repeats among the moved.
    const uint64_t device = 3 * uint64_t(codeBytes) + sizeof(int) + sizeof(SiteSums);
    const uint64_t list = sizeof(int64_t) + sizeof(uint32_t);
    const uint64_t host = 2 * list + sizeof(int64_t) + sizeof(uint32_t) + sizeof(SiteSums) + 4 * sizeof(void*);
    return ExactStepsBytes{sites * device, sites * host};
}

ExactSteps::ExactSteps(SiteList sites, GridBox box, const AxisWeights& weights, const AxisScales& scales,
                       SlabShare share, RegionConnection connection)
    : box_(box),
      weights_(weights),
      scales_(scales),
      share_(share),
      connection_(connection),
      // Every site gives a slab one entry at most: its own voxel, or its column's plane below or above;
      // the list only ever shrinks.
      entryVoxels_(std::max<size_t>(sites.size(), 1), gridSize.codes.wide, "the sites' voxels"),
      entryCodes_(entryVoxels_.size(), gridSize.codes.wide, "the sites' codes"),
      deviceSortedCodes_(entryVoxels_.size(), gridSize.codes.wide, "the sites' codes in order"),
      deviceIds_(entryVoxels_.size(), "the sites' ids"),
      deviceSums_(entryVoxels_.size(), "the per-site sums") {
    setSites(std::move(sites));
}

void ExactSteps::setSites(SiteList sites) {
    if (sites.size() > deviceSums_.size()) throw Failure("more sites than the run started with");
    sites_ = std::move(sites);
    sortedCodes_ = sites_.codes;
    std::sort(sortedCodes_.begin(), sortedCodes_.end());
    rowOfSite_.resize(sites_.size());
    std::vector<int> ids(sites_.size());
    for (size_t i = 0; i < sites_.size(); ++i) {
        rowOfSite_[i] = uint32_t(std::lower_bound(sortedCodes_.begin(), sortedCodes_.end(), sites_.codes[i]) -
                                 sortedCodes_.begin());
        ids[rowOfSite_[i]] = int(connection_.idsFollowList ? i : rowOfSite_[i]);
    }
    deviceSortedCodes_.upload(sortedCodes_.data(), sortedCodes_.size(), "uploading the site codes");
    if (connection_.enabled)
        checkCuda(cudaMemcpy(deviceIds_.get(), ids.data(), ids.size() * sizeof(int), cudaMemcpyHostToDevice),
                  "uploading the site ids");
    summed_ = false;
}

std::pair<int, int> ExactSteps::planesOfLevel() const {
    const GridShape g = gridSize;
    if (g.wholeZ == 0) return {0, g.z};
    const Slab planes = share_.slab.halved(levelIndex);
    return {slabFirstPlane(g, planes), planes.planes()};
}

void ExactSteps::label() {
    const GridShape g = gridSize;
    const auto [first, planes] = planesOfLevel();
    uploadSlabSites(slabSiteEntries(sites_.codes, g, first, planes), entryVoxels_, entryCodes_);
    computeVoronoi(weights_);
    summed_ = false;
    if (!connection_.enabled) return;
    // The other site volume of the pair is free until the next labelling.
    const int* inside = levelIndex < maxPyramidLevels ? insideMaps[levelIndex] : nullptr;
    GridBox box = levelBox(box_, levelIndex);
    RegionPlanes regionPlanes{0, box.z};
    if (g.wholeZ > 0) {  // a slab's grid: its planes of the box, and the slabs around them
        const Slab slab = share_.slab.halved(levelIndex);
        regionPlanes = RegionPlanes{first, first + planes, slab.begin > 0, slab.end < box.z};
        box.z = regionPlanes.end + int(regionPlanes.above);
    }
    LoneRank alone;
    withCodeType(g.codes.wide, [&](auto code) {
        using Code = decltype(code);
        lastConnection_ = makeSlabRegionsConnected(
            codesIn<Code>(currentSites), codesIn<Code>(scratchSites), g, box, regionPlanes, codesIn<Code>(inside),
            DeviceSiteTable<Code>{deviceSortedCodes_.get<Code>(), deviceIds_.get(), int(sites_.size())},
            share_.ranks != nullptr ? *share_.ranks : alone);
    });
}

void ExactSteps::sumRegions() {
    if (summed_) return;
    const GridShape g = gridSize;
    const size_t count = sortedCodes_.size();
    sums_.assign(count, SiteSums{});
    if (count > 0) {
        checkCuda(cudaMemset(deviceSums_.get(), 0, count * sizeof(SiteSums)), "clearing the per-site sums");
        const auto [first, planes] = planesOfLevel();
        withCodeType(g.codes.wide, [&](auto code) {
            using Code = decltype(code);
            launchRegionSums(codesIn<Code>(currentSites), densityLevels[levelIndex], deviceSortedCodes_.get<Code>(),
                             int(count), deviceSums_.get(), first, planes, g);
        });
        checkCuda(cudaMemcpy(sums_.data(), deviceSums_.get(), count * sizeof(SiteSums), cudaMemcpyDeviceToHost),
                  "reading back the per-site sums");
    }
    squared_ = SquaredOffsets{};
    for (const SiteSums& site : sums_) {
        squared_.xx += site.values[sumXX].value();
        squared_.yy += site.values[sumYY].value();
        squared_.zz += site.values[sumZZ].value();
    }
    if (share_.ranks != nullptr) sumOverRanks(*share_.ranks, sums_, squared_);
    summed_ = true;
}

float ExactSteps::energy() {
    sumRegions();
    return scheduleEnergy(squared_, scales_, gridSize.longestSide(), levelIndex);
}

UInt128 ExactSteps::exactEnergy() {
    sumRegions();
    return weightedEnergy(squared_, weights_);
}

int64_t ExactSteps::moveSites() {
    sumRegions();
    const GridShape g = gridSize;
    const GridBox limit = levelBox(box_, levelIndex);
    SiteList moved = sites_;
    for (size_t i = 0; i < sites_.size(); ++i)
        moved.codes[i] = movedSite(sites_.codes[i], sums_[rowOfSite_[i]], relaxation, limit, g.codes);
    // A site that stays lies inside already: only the others need landing (and the ranks' messages).
    std::vector<size_t> movers;
    for (size_t i = 0; i < sites_.size(); ++i)
        if (moved.codes[i] != sites_.codes[i]) movers.push_back(i);
    std::vector<int64_t> landing(movers.size());
    for (size_t k = 0; k < movers.size(); ++k) landing[k] = moved.codes[movers[k]];
    landInside(landing, levelIndex, g);
    for (size_t k = 0; k < movers.size(); ++k) moved.codes[movers[k]] = landing[k];
    int64_t count = 0;
    for (size_t i = 0; i < sites_.size(); ++i) count += moved.codes[i] != sites_.codes[i];
    setSites(moved.withoutRepeats());
    return count;
}

void ExactSteps::advanceLevel() {
    const GridShape coarse = gridSize, fine = coarse.doubled();
    const SiteLayout codes = coarse.codes;
    SiteList finer = sites_;
    // Coarse and fine grids share the layout of the full grid, whose fields hold the doubled coordinates.
    for (int64_t& code : finer.codes) code = codes.encode(2 * codes.x(code), 2 * codes.y(code), 2 * codes.z(code));
    landInside(finer.codes, levelIndex - 1, fine);
    setSites(finer.withoutRepeats());
}

// With a mask, each site goes to the inside voxel nearest to it, which the level's inside map names:
// the map of the rank whose planes hold the site, which the ranks then tell each other.
void ExactSteps::landInside(std::vector<int64_t>& codes, int level, const GridShape& g) {
    if (level < 0 || level >= maxPyramidLevels || insideMaps[level] == nullptr || codes.empty()) return;
    const Slab planes = share_.slab.halved(level);
    std::vector<int64_t> voxels;  // the voxels of this process's planes
    std::vector<size_t> mine;     // and their places in `codes`
    for (size_t i = 0; i < codes.size(); ++i) {
        const int z = g.codes.z(codes[i]);
        if (g.wholeZ > 0 && (z < planes.begin || z >= planes.end)) continue;
        voxels.push_back(g.index(g.codes.x(codes[i]), g.codes.y(codes[i]), z - g.zOrigin));
        mine.push_back(i);
    }
    std::vector<int64_t> found;
    if (!voxels.empty()) {
        entryVoxels_.upload(voxels.data(), voxels.size(), "uploading the voxels of moved sites");
        const int count = int(voxels.size());
        withCodeType(g.codes.wide, [&](auto code) {
            using Code = decltype(code);
            LAUNCH_KERNEL(kernelGatherCodes<Code>, dim3((count + gatherThreads - 1) / gatherThreads),
                          dim3(gatherThreads), 0, codesIn<Code>(insideMaps[level]), entryVoxels_.get<Code>(),
                          entryCodes_.get<Code>(), count);
        });
        found = entryCodes_.download(voxels.size(), "reading the inside voxels nearest to moved sites");
    }
    // Every site lies in the planes of one rank: adding the ranks' answers (the code plus one, or 0)
    // gives every rank every answer.
    std::vector<uint64_t> inside(codes.size(), 0);
    for (size_t k = 0; k < mine.size(); ++k) inside[mine[k]] = uint64_t(found[k]) + 1;
    if (share_.ranks != nullptr) share_.ranks->sum(inside.data(), inside.size());
    for (size_t i = 0; i < codes.size(); ++i) {
        const int64_t code = int64_t(inside[i] - 1);
        insideMoves_ += code != codes[i];
        codes[i] = code;
    }
}

CVT_END_NAMESPACE
