#include "seeding.h"

#include <algorithm>
#include <string>

#include "kiss_random.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

// Holds gridSize at the seeding edge for the life of the scope.
class SeedingEdge {
public:
    SeedingEdge() : saved_(gridSize) { gridSize = 2 * saved_; }
    ~SeedingEdge() { gridSize = saved_; }
    SeedingEdge(const SeedingEdge&) = delete;
    SeedingEdge& operator=(const SeedingEdge&) = delete;

private:
    int saved_;
};

uint64_t voxelsOf(GridBox box) { return uint64_t(box.x) * box.y * box.z; }

void checkSeedingRequest(int edge, int count, GridBox box) {
    if (voronoiBuffers == nullptr || voronoiBuffers[voronoiIndex] == nullptr)
        throw Failure("seeding needs the device buffer set, which is not allocated");
    if (edge < 1 || edge > maxGridEdge)
        throw Failure("seeding edge " + std::to_string(edge) + " is outside 1 to " + std::to_string(maxGridEdge));
    const uint64_t voxels = uint64_t(edge) * edge * edge;
    if (voxels * sizeof(SiteCode) > volumeBytes)
        throw Failure("the site volumes are too small for seeding edge " + std::to_string(edge));
    if (box.x < 1 || box.y < 1 || box.z < 1 || box.x > edge || box.y > edge || box.z > edge)
        throw Failure("the seeding box lies outside the grid of edge " + std::to_string(edge));
    if (count < 0 || uint64_t(count) > voxelsOf(box))
        throw Failure("cannot place " + std::to_string(count) + " sites on " + std::to_string(voxelsOf(box)) +
                      " voxels");
}

// Draws in threes, x from the first draw, y from the second, z from the third, each scaled to the
// box's side on its axis; a triple that lands on an occupied voxel is discarded whole.
void drawUniformSites(int* staging, int edge, int count, GridBox box, uint64_t seed, const uint8_t* inside) {
    if (inside != nullptr) {
        uint64_t insideVoxels = 0;
        for (int z = 0; z < box.z; ++z)
            for (int y = 0; y < box.y; ++y)
                for (int x = 0; x < box.x; ++x) insideVoxels += inside[x + edge * (y + size_t(edge) * z)];
        if (uint64_t(count) > insideVoxels)
            throw Failure("cannot place " + std::to_string(count) + " sites on the " + std::to_string(insideVoxels) +
                          " voxels inside the mask");
    }
    resetKiss(siteRandom, seed);
    for (int placed = 0; placed < count;) {
        const int x = coordinateOfDraw(drawKiss(siteRandom), box.x);
        const int y = coordinateOfDraw(drawKiss(siteRandom), box.y);
        const int z = coordinateOfDraw(drawKiss(siteRandom), box.z);
        const size_t voxel = x + edge * (y + size_t(edge) * z);
        if (staging[voxel] != EMPTY_SITE || (inside != nullptr && !inside[voxel])) continue;
        staging[voxel] = encodeSite(x, y, z);
        ++placed;
    }
}

void drawSitesByDensity(int* staging, int edge, int count, GridBox box, uint64_t seed, const float* density) {
    // The weights of the box's voxels, so that no voxel outside it can be drawn.
    std::vector<float> weights(voxelsOf(box));
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            std::copy_n(density + size_t(edge) * (y + size_t(edge) * z), box.x,
                        weights.begin() + ptrdiff_t(box.x) * (y + ptrdiff_t(box.y) * z));
    const std::vector<size_t> drawn = drawByWeight(weights.data(), weights.size(), size_t(count), seed);
    if (drawn.size() < size_t(count))
        throw Failure("cannot place " + std::to_string(count) + " sites by density: only " +
                      std::to_string(drawn.size()) + " voxels have a positive density");
    for (size_t index : drawn) {
        const int x = int(index % box.x), y = int(index / box.x % box.y), z = int(index / (size_t(box.x) * box.y));
        staging[x + edge * (y + edge * z)] = encodeSite(x, y, z);
    }
}

int placeGivenSites(int* staging, int edge, const std::vector<std::array<int, 3>>& sites, GridBox box, int level,
                    const uint8_t* inside) {
    int placed = 0;
    for (const std::array<int, 3>& site : sites) {
        const int x = site[0] >> level, y = site[1] >> level, z = site[2] >> level;
        if (site[0] < 0 || site[1] < 0 || site[2] < 0 || x >= box.x || y >= box.y || z >= box.z)
            throw Failure("site (" + std::to_string(site[0]) + ", " + std::to_string(site[1]) + ", " +
                          std::to_string(site[2]) + ") lies outside the box");
        if (inside != nullptr && !inside[x + edge * (y + size_t(edge) * z)])
            throw Failure("site (" + std::to_string(site[0]) + ", " + std::to_string(site[1]) + ", " +
                          std::to_string(site[2]) + ") lies outside the mask");
        SiteCode& cell = staging[x + edge * (y + edge * z)];
        if (cell != EMPTY_SITE) continue;  // sites that share a coarse voxel become one
        cell = encodeSite(x, y, z);
        ++placed;
    }
    return placed;
}

}  // namespace

int placeSites(int* staging, int count, const SitePlacement& placement, GridBox box, int level,
               const float* density, const uint8_t* inside) {
    const bool given = placement.kind == SitePlacement::Kind::given;
    checkSeedingRequest(2 * gridSize, given ? 0 : count, box);
    const SeedingEdge seedingEdge;
    const int edge = gridSize;
    const int voxels = edge * edge * edge;
    std::fill(staging, staging + voxels, EMPTY_SITE);
    int placed = count;
    switch (placement.kind) {
    case SitePlacement::Kind::uniform: drawUniformSites(staging, edge, count, box, placement.seed, inside); break;
    case SitePlacement::Kind::density: drawSitesByDensity(staging, edge, count, box, placement.seed, density); break;
    case SitePlacement::Kind::given: placed = placeGivenSites(staging, edge, placement.sites, box, level, inside); break;
    }
    checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], staging, size_t(voxels) * sizeof(SiteCode),
                         cudaMemcpyHostToDevice),
              "uploading the seeded sites");
    return placed;
}

void seedSites(int* staging, int count) {
    const int edge = 2 * gridSize;
    placeSites(staging, count, SitePlacement{}, cubeBox(edge), 0, nullptr);
}

CVT_END_NAMESPACE
