#include "run_sites.h"

#include <algorithm>
#include <string>

#include "../host/seeding.h"
#include "../host/weighted_sample.h"

CVT_BEGIN_NAMESPACE

namespace {

std::string siteText(const std::array<int, 3>& site) {
    return "site (" + std::to_string(site[0]) + ", " + std::to_string(site[1]) + ", " + std::to_string(site[2]) + ")";
}

bool inSlab(const Slab& slab, int z) { return z >= slab.begin && z < slab.end; }

std::vector<int64_t> givenSites(const SitePlacement& placement, GridBox box, int level, const SiteLayout& codes,
                                const SeedingPlanes& mine, RankGroup& ranks) {
    std::vector<int64_t> placed;
    uint64_t firstOutside = UINT64_MAX;  // the first row this rank finds outside the mask
    for (size_t row = 0; row < placement.sites.size(); ++row) {
        const std::array<int, 3>& site = placement.sites[row];
        const int x = site[0] >> level, y = site[1] >> level, z = site[2] >> level;
        if (site[0] < 0 || site[1] < 0 || site[2] < 0 || x >= box.x || y >= box.y || z >= box.z)
            throw Failure(siteText(site) + " lies outside the box");
        if (mine.inside != nullptr && inSlab(mine.slab, z) && !mine.inside->inside(level, x, y, z))
            firstOutside = std::min<uint64_t>(firstOutside, row);
        placed.push_back(codes.encode(x, y, z));
    }
    if (mine.inside != nullptr) {
        const std::vector<uint64_t> outside = ranks.gatherAll(std::vector<uint64_t>{firstOutside});
        const uint64_t row = *std::min_element(outside.begin(), outside.end());
        if (row != UINT64_MAX) throw Failure(siteText(placement.sites[row]) + " lies outside the mask");
    }
    return placed;
}

// Each rank keeps the largest keys of its own voxels, counted in the box's order, and every rank picks
// the same ones from all of them: the draw of the whole box at once.
std::vector<int64_t> sitesByDensity(int count, uint64_t seed, GridBox box, const SiteLayout& codes,
                                    const SeedingPlanes& mine, RankGroup& ranks) {
    const size_t planeVoxels = size_t(box.x) * size_t(box.y);
    const std::vector<KeyedItem> keys = largestKeys(mine.weights, planeVoxels * size_t(mine.slab.planes()),
                                                    size_t(count), seed, planeVoxels * size_t(mine.slab.begin));
    const std::vector<size_t> drawn = drawnIndices(ranks.gatherAll(keys), size_t(count));
    if (drawn.size() < size_t(count))
        throw Failure("cannot place " + std::to_string(count) + " sites by density: only " +
                      std::to_string(drawn.size()) + " voxels have a positive density");
    std::vector<int64_t> placed;
    for (const size_t index : drawn)
        placed.push_back(codes.encode(int(index % size_t(box.x)), int(index / size_t(box.x) % size_t(box.y)),
                                      int(index / planeVoxels)));
    return placed;
}

// The draws of every rank's planes are answered by that rank; the answers are added up.
std::vector<int64_t> uniformSites(int count, uint64_t seed, GridBox box, int level, const SiteLayout& codes,
                                  const SeedingPlanes& mine, RankGroup& ranks) {
    InsideOfDraws inside;
    if (mine.inside != nullptr) {
        const GridBox levelPlanes{box.x, box.y, mine.slab.planes()};
        uint64_t insideVoxels = 0;
        for (int z = mine.slab.begin; z < mine.slab.end; ++z)
            for (int y = 0; y < levelPlanes.y; ++y)
                for (int x = 0; x < levelPlanes.x; ++x) insideVoxels += mine.inside->inside(level, x, y, z);
        ranks.sum(&insideVoxels, 1);
        if (uint64_t(count) > insideVoxels)
            throw Failure("cannot place " + std::to_string(count) + " sites on the " + std::to_string(insideVoxels) +
                          " voxels inside the mask");
        inside = [&](const std::vector<std::array<int, 3>>& draws, std::vector<uint8_t>& flags) {
            std::vector<uint64_t> found(draws.size(), 0);
            for (size_t i = 0; i < draws.size(); ++i) {
                const auto [x, y, z] = draws[i];
                found[i] = inSlab(mine.slab, z) && mine.inside->inside(level, x, y, z);
            }
            ranks.sum(found.data(), found.size());
            for (size_t i = 0; i < draws.size(); ++i) flags[i] = uint8_t(found[i] != 0);
        };
    }
    std::vector<int64_t> placed;
    for (const auto& [x, y, z] : drawUniformVoxels(count, box, seed, inside)) placed.push_back(codes.encode(x, y, z));
    return placed;
}

}  // namespace

SiteList placeRunSites(int count, const SitePlacement& placement, GridBox box, int level, const SiteLayout& codes,
                       const SeedingPlanes& mine, RankGroup& ranks) {
    const uint64_t voxels = uint64_t(box.x) * uint64_t(box.y) * uint64_t(box.z);
    if (placement.kind != SitePlacement::Kind::given && (count < 0 || uint64_t(count) > voxels))
        throw Failure("cannot place " + std::to_string(count) + " sites on " + std::to_string(voxels) + " voxels");
    std::vector<int64_t> placed;
    switch (placement.kind) {
    case SitePlacement::Kind::given: placed = givenSites(placement, box, level, codes, mine, ranks); break;
    case SitePlacement::Kind::density: placed = sitesByDensity(count, placement.seed, box, codes, mine, ranks); break;
    case SitePlacement::Kind::uniform: placed = uniformSites(count, placement.seed, box, level, codes, mine, ranks); break;
    }
    return SiteList::initial(std::move(placed)).withoutRepeats();
}

CVT_END_NAMESPACE
