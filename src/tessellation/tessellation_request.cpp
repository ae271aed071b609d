// The checks of a tessellation's request that need no density values, made before anything is
// allocated, so that a mistake costs no time.
#include <algorithm>
#include <cstdlib>
#include <map>

#include "tessellation_request.h"

namespace cvt::volume {
namespace {

uint64_t voxelsOf(GridBox box) { return uint64_t(box.x) * box.y * box.z; }

void requireInRange(int value, int low, int high, const char* what) {
    if (value < low || value > high)
        throw InvalidInput(std::string(what) + " must be from " + std::to_string(low) + " to " + std::to_string(high) +
                           ", not " + std::to_string(value));
}

void requireValidSites(const std::vector<std::array<int, 3>>& sites, const std::string& source, GridBox box,
                       formats::VoxelNaming naming) {
    const std::string described = formats::boxName(formats::shapeOf(box), naming);
    if (sites.empty()) throw InvalidInput(source + ": lists no sites");
    std::map<std::array<int, 3>, size_t> rowOf;
    for (size_t row = 1; row <= sites.size(); ++row) {
        const auto [x, y, z] = sites[row - 1];
        const std::string where = "site " + formats::voxelName(x, y, z, naming);
        if (x < 0 || y < 0 || z < 0 || x >= box.x || y >= box.y || z >= box.z)
            throw InvalidInput(source + ": " + where + " lies outside the " + described);
        const auto [previous, added] = rowOf.emplace(sites[row - 1], row);
        if (!added)
            throw InvalidInput(source + ": " + where + " is listed twice, in rows " + std::to_string(previous->second) +
                               " and " + std::to_string(row));
    }
}

}  // namespace

SitePlacement::Kind placementKindOf(const TessellationParameters& parameters) {
    if (parameters.initialSites) return SitePlacement::Kind::given;
    return parameters.seeding == Seeding::density ? SitePlacement::Kind::density : SitePlacement::Kind::uniform;
}

uint64_t positiveVoxels(const float* begin, const float* end) {
    return uint64_t(std::count_if(begin, end, [](float v) { return v > 0; }));
}

void requireEnoughPositive(const std::string& source, uint64_t positive, int sites) {
    if (positive < uint64_t(sites))
        throw InvalidInput(source + ": only " + std::to_string(positive) + " voxels have a positive density, fewer than the " +
                           std::to_string(sites) + " sites asked for (ask for fewer, or use uniform seeding)");
}

uint32_t firstLabelOf(const TessellationParameters& parameters) {
    return parameters.mask || parameters.maskAbove ? 1 : parameters.startLabel;
}

GridShape gridFor(GridBox box) {
    const char* wide = std::getenv("CVT_WIDE_SITE_CODES");
    return smallestGridHolding(box, wide != nullptr && std::string(wide) == "1" ? CodeWidth::wide : CodeWidth::fitting);
}

std::string boxText(GridBox box) {
    return std::to_string(box.x) + " x " + std::to_string(box.y) + " x " + std::to_string(box.z);
}

std::string placementText(GridBox box, formats::VoxelNaming naming) {
    const GridShape grid = gridFor(box);
    // The grid is the run's own, whose planes an image has more of: named as an array.
    const formats::VoxelNaming gridNaming = naming == formats::VoxelNaming::xyz ? naming : formats::VoxelNaming::arrayIndex;
    return "a " + formats::boxName(formats::shapeOf(box), naming) + " in a " +
           formats::sidesName({grid.x, grid.y, grid.z}, gridNaming) + " grid";
}

void requireValidRequest(GridBox box, const DensityView& density, const TessellationParameters& parameters) {
    const formats::VolumeShape shape = formats::shapeOf(box);
    const std::string described = formats::boxName(shape, density.naming);
    if (std::min({box.x, box.y, box.z}) < 1 || std::max({box.x, box.y, box.z}) > maxGridSide)
        throw InvalidInput(density.source + ": a " + described + "; every side must be from 1 to " +
                           std::to_string(maxGridSide));
    if (const std::string problem = fullGridProblem(gridFor(box)); !problem.empty())
        throw InvalidInput(density.source + ": a " + described + " cannot be tessellated: " + problem);
    if (parameters.mask) {
        const formats::VolumeShape mask = parameters.mask->shape, held = density.samples.shape;
        if (mask.x != held.x || mask.y != held.y || mask.z != held.z)
            throw InvalidInput(parameters.maskSource + ": the mask is a " + formats::boxName(mask, density.naming) +
                               ", the density a " + formats::boxName(held, density.naming));
    }
    requireInRange(parameters.maxIterations, 0, 1 << 30, "the iteration budget");
    if (parameters.connected && !parameters.deterministic)
        throw InvalidInput("connected regions need the exact sums: they do not go with float atomics");
    if (!parameters.deterministic)
        if (const std::string problem = floatSumsProblem(gridFor(box)); !problem.empty())
            throw InvalidInput(density.source + ": a " + described + " cannot be tessellated: " + problem);
    if (parameters.startLabel > 1) throw InvalidInput("the start label must be 0 or 1, not " + std::to_string(parameters.startLabel));
    if (parameters.startLabel == 0 && (parameters.mask || parameters.maskAbove))
        throw InvalidInput("with a mask, label 0 is the outside: the start label must be 1");
    requireInRange(parameters.levels, 1, maxPyramidLevels, "the number of levels");
    if (parameters.initialSites) {
        requireValidSites(*parameters.initialSites, parameters.initialSitesSource, box, density.naming);
        return;
    }
    requireInRange(parameters.sites, 1, 1 << 30, "the number of sites");
    if (uint64_t(parameters.sites) > voxelsOf(box))
        throw InvalidInput(density.source + ": " + std::to_string(parameters.sites) + " sites asked for, but the " +
                           described + " has only " + std::to_string(voxelsOf(box)) + " voxels");
}

}  // namespace cvt::volume
