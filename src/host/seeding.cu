#include "seeding.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "kiss_random.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

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

}  // namespace

std::vector<std::array<int, 3>> drawUniformVoxels(int count, GridBox box, uint64_t seed, const InsideOfDraws& inside) {
    resetKiss(siteRandom, seed);
    std::unordered_set<uint64_t> taken;
    std::vector<std::array<int, 3>> voxels;
    std::vector<std::array<int, 3>> draws;
    std::vector<uint8_t> flags;
    while (int(voxels.size()) < count) {
        // As many draws as voxels are still wanted: at least that many more are needed.
        draws.resize(size_t(count) - voxels.size());
        for (std::array<int, 3>& draw : draws)
            draw = {coordinateOfDraw(drawKiss(siteRandom), box.x), coordinateOfDraw(drawKiss(siteRandom), box.y),
                    coordinateOfDraw(drawKiss(siteRandom), box.z)};
        flags.assign(draws.size(), uint8_t(1));
        if (inside) inside(draws, flags);
        for (size_t i = 0; i < draws.size() && int(voxels.size()) < count; ++i) {
            const auto [x, y, z] = draws[i];
            const uint64_t voxel = uint64_t(x) + uint64_t(box.x) * (uint64_t(y) + uint64_t(box.y) * uint64_t(z));
            if (flags[i] && taken.insert(voxel).second) voxels.push_back(draws[i]);
        }
    }
    return voxels;
}

void seedSites(int* staging, int count) {
    const GridShape g = gridSize.doubled();
    checkSeedingRequest(g, count, boxOf(g));
    std::fill(staging, staging + size_t(g.voxels()), EMPTY_SITE);
    for (const auto& [x, y, z] : drawUniformVoxels(count, boxOf(g), 0)) staging[g.index(x, y, z)] = g.codes.encode(x, y, z);
    checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], staging, size_t(g.voxels()) * sizeof(SiteCode),
                         cudaMemcpyHostToDevice),
              "uploading the seeded sites");
}

CVT_END_NAMESPACE
