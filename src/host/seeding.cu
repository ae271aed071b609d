#include "seeding.h"

#include <algorithm>
#include <string>

#include "kiss_random.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

// Holds gridSize at the seeding grid for the life of the scope.
class SeedingGrid {
public:
    SeedingGrid() : saved_(gridSize) { gridSize = saved_.doubled(); }
    ~SeedingGrid() { gridSize = saved_; }
    SeedingGrid(const SeedingGrid&) = delete;
    SeedingGrid& operator=(const SeedingGrid&) = delete;

private:
    GridShape saved_;
};

uint64_t voxelsOf(GridBox box) { return uint64_t(box.x) * box.y * box.z; }

void checkSeedingRequest(const GridShape& g, int count, GridBox box) {
    if (voronoiBuffers == nullptr || voronoiBuffers[voronoiIndex] == nullptr)
        throw Failure("seeding needs the device buffer set, which is not allocated");
    if (std::min({g.x, g.y, g.z}) < 1 || g.longestSide() > maxGridSide)
        throw Failure("seeding grid " + shapeText(g) + " has a side outside 1 to " + std::to_string(maxGridSide));
    if (uint64_t(g.voxels()) * g.codes.codeBytes() > siteVolumeBytes)
        throw Failure("the site volumes are too small for seeding grid " + shapeText(g));
    if (box.x < 1 || box.y < 1 || box.z < 1 || box.x > g.x || box.y > g.y || box.z > g.z)
        throw Failure("the seeding box lies outside grid " + shapeText(g));
    if (count < 0 || uint64_t(count) > voxelsOf(box))
        throw Failure("cannot place " + std::to_string(count) + " sites on " + std::to_string(voxelsOf(box)) +
                      " voxels");
}

// A triple that lands on an occupied voxel, or outside the mask, is discarded.
template <class Code>
void drawUniformSites(Code* staging, const GridShape& g, int count, GridBox box, uint64_t seed, const uint8_t* inside,
                      std::vector<int64_t>& placed) {
    if (inside != nullptr) {
        uint64_t insideVoxels = 0;
        for (int z = 0; z < box.z; ++z)
            for (int y = 0; y < box.y; ++y)
                for (int x = 0; x < box.x; ++x) insideVoxels += inside[g.index(x, y, z)];
        if (uint64_t(count) > insideVoxels)
            throw Failure("cannot place " + std::to_string(count) + " sites on the " + std::to_string(insideVoxels) +
                          " voxels inside the mask");
    }
    drawUniformVoxels(count, box, seed, [&](int x, int y, int z) {
        const size_t voxel = size_t(g.index(x, y, z));
        if (staging[voxel] != emptySite<Code> || (inside != nullptr && !inside[voxel])) return false;
        staging[voxel] = g.codes.encode<Code>(x, y, z);
        placed.push_back(staging[voxel]);
        return true;
    });
}

template <class Code>
void drawSitesByDensity(Code* staging, const GridShape& g, int count, GridBox box, uint64_t seed,
                        const SeedingDensity& density, std::vector<int64_t>& placed) {
    const GridBox layout = density.layout.x == 0 ? boxOf(g) : density.layout;
    if (box.x > layout.x || box.y > layout.y || box.z > layout.z)
        throw Failure("the density to place sites by does not cover the seeding box");
    // The weights of the box's voxels, so that no voxel outside it can be drawn.
    std::vector<float> weights(voxelsOf(box));
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y) {
            const float* row = density.values + size_t(layout.x) * (y + size_t(layout.y) * z);
            float* weight = weights.data() + size_t(box.x) * (y + size_t(box.y) * z);
            for (int x = 0; x < box.x; ++x) weight[x] = row[x] / density.divisor;
        }
    const std::vector<size_t> drawn = drawByWeight(weights.data(), weights.size(), size_t(count), seed);
    if (drawn.size() < size_t(count))
        throw Failure("cannot place " + std::to_string(count) + " sites by density: only " +
                      std::to_string(drawn.size()) + " voxels have a positive density");
    for (size_t index : drawn) {
        const int x = int(index % box.x), y = int(index / box.x % box.y), z = int(index / (size_t(box.x) * box.y));
        staging[g.index(x, y, z)] = g.codes.encode<Code>(x, y, z);
        placed.push_back(g.codes.encode(x, y, z));
    }
}

template <class Code>
void placeGivenSites(Code* staging, const GridShape& g, const std::vector<std::array<int, 3>>& sites, GridBox box,
                     int level, const uint8_t* inside, std::vector<int64_t>& placed) {
    for (const std::array<int, 3>& site : sites) {
        const int x = site[0] >> level, y = site[1] >> level, z = site[2] >> level;
        if (site[0] < 0 || site[1] < 0 || site[2] < 0 || x >= box.x || y >= box.y || z >= box.z)
            throw Failure("site (" + std::to_string(site[0]) + ", " + std::to_string(site[1]) + ", " +
                          std::to_string(site[2]) + ") lies outside the box");
        if (inside != nullptr && !inside[g.index(x, y, z)])
            throw Failure("site (" + std::to_string(site[0]) + ", " + std::to_string(site[1]) + ", " +
                          std::to_string(site[2]) + ") lies outside the mask");
        staging[g.index(x, y, z)] = g.codes.encode<Code>(x, y, z);
        placed.push_back(g.codes.encode(x, y, z));  // sites that share a coarse voxel become one
    }
}

}  // namespace

void drawUniformVoxels(int count, GridBox box, uint64_t seed, const std::function<bool(int, int, int)>& take) {
    resetKiss(siteRandom, seed);
    for (int taken = 0; taken < count;) {
        const int x = coordinateOfDraw(drawKiss(siteRandom), box.x);
        const int y = coordinateOfDraw(drawKiss(siteRandom), box.y);
        const int z = coordinateOfDraw(drawKiss(siteRandom), box.z);
        taken += take(x, y, z);
    }
}

SiteList placeSites(void* staging, int count, const SitePlacement& placement, GridBox box, int level,
                    const SeedingDensity& density, const uint8_t* inside) {
    const bool given = placement.kind == SitePlacement::Kind::given;
    checkSeedingRequest(gridSize.doubled(), given ? 0 : count, box);
    const SeedingGrid seedingGrid;
    const GridShape g = gridSize;
    const size_t voxels = size_t(g.voxels());
    std::vector<int64_t> placed;
    placed.reserve(given ? placement.sites.size() : size_t(count));
    withCodeType(g.codes.wide, [&](auto code) {
        using Code = decltype(code);
        Code* const codes = static_cast<Code*>(staging);
        std::fill(codes, codes + voxels, emptySite<Code>);
        switch (placement.kind) {
        case SitePlacement::Kind::uniform: drawUniformSites(codes, g, count, box, placement.seed, inside, placed); break;
        case SitePlacement::Kind::density:
            drawSitesByDensity(codes, g, count, box, placement.seed, density, placed);
            break;
        case SitePlacement::Kind::given: placeGivenSites(codes, g, placement.sites, box, level, inside, placed); break;
        }
        checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], codes, voxels * sizeof(Code), cudaMemcpyHostToDevice),
                  "uploading the seeded sites");
    });
    return SiteList::initial(std::move(placed)).withoutRepeats();
}

void seedSites(int* staging, int count) {
    placeSites(staging, count, SitePlacement{}, boxOf(gridSize.doubled()), 0, nullptr);
}

CVT_END_NAMESPACE
