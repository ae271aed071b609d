#include "seeding.h"

#include <algorithm>
#include <string>

#include "kiss_random.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

namespace {

constexpr int maxSeedingEdge = 1 << coordinateBits;

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

void checkSeedingRequest(int edge, int count) {
    if (voronoiBuffers == nullptr || voronoiBuffers[voronoiIndex] == nullptr)
        throw Failure("seeding needs the device buffer set, which is not allocated");
    if (edge < 1 || edge > maxSeedingEdge)
        throw Failure("seeding edge " + std::to_string(edge) + " is outside 1 to " + std::to_string(maxSeedingEdge));
    const uint64_t voxels = uint64_t(edge) * edge * edge;
    if (voxels * sizeof(SiteCode) > volumeBytes)
        throw Failure("the site volumes are too small for seeding edge " + std::to_string(edge));
    if (count < 0 || uint64_t(count) > voxels)
        throw Failure("cannot place " + std::to_string(count) + " sites on " + std::to_string(voxels) +
                      " voxels");
}

}  // namespace

void seedSites(int* staging, int count) {
    checkSeedingRequest(2 * gridSize, count);
    resetKiss(siteRandom);
    const SeedingEdge seedingEdge;
    const int edge = gridSize;
    const int voxels = edge * edge * edge;
    std::fill(staging, staging + voxels, EMPTY_SITE);
    for (int placed = 0; placed < count;) {
        const int x = coordinateOfDraw(drawKiss(siteRandom), edge);
        const int y = coordinateOfDraw(drawKiss(siteRandom), edge);
        const int z = coordinateOfDraw(drawKiss(siteRandom), edge);
        SiteCode& cell = staging[x + edge * (y + edge * z)];
        if (cell != EMPTY_SITE) continue;  // occupied: the whole triple is discarded
        cell = encodeSite(x, y, z);
        ++placed;
    }
    checkCuda(cudaMemcpy(voronoiBuffers[voronoiIndex], staging, size_t(voxels) * sizeof(SiteCode),
                         cudaMemcpyHostToDevice),
              "uploading the seeded sites");
}

CVT_END_NAMESPACE
