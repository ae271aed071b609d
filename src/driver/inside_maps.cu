#include "inside_maps.h"

#include <algorithm>
#include <climits>

#include "../host/buffers.h"
#include "../host/launch_shapes.h"
#include "../host/site_code.h"
#include "../voronoi/voronoi.h"
#include "fill.h"

CVT_BEGIN_NAMESPACE

namespace {

size_t planeVoxels(GridBox box) { return size_t(box.x) * size_t(box.y); }

// Each column's nearest inside voxel below the slab (its highest in the slabs below) and above it (its
// lowest in the slabs above), as whole-grid planes; -1 where there is none.
struct NeighbourInside {
    std::vector<int> below, above;
};

NeighbourInside neighbourInside(const uint8_t* flags, GridBox box, Slab slab, RankGroup& ranks) {
    const size_t columns = planeVoxels(box);
    // This slab's lowest and highest inside plane of every column (INT_MAX and -1: none).
    std::vector<int> mine(2 * columns);
    for (size_t column = 0; column < columns; ++column) {
        int lowest = INT_MAX, highest = -1;
        for (int k = 0; k < slab.planes(); ++k)
            if (flags[column + columns * size_t(k)]) {
                lowest = std::min(lowest, slab.begin + k);
                highest = slab.begin + k;
            }
        mine[column] = lowest;
        mine[columns + column] = highest;
    }
    const std::vector<std::vector<int>> every = ranks.gatherEach(mine);
    NeighbourInside result{std::vector<int>(columns, -1), std::vector<int>(columns, -1)};
    for (int rank = 0; rank < int(every.size()); ++rank)
        for (size_t column = 0; column < columns; ++column) {
            if (rank < ranks.rank()) result.below[column] = std::max(result.below[column], every[rank][columns + column]);
            const int lowest = every[rank][column];
            if (rank > ranks.rank() && lowest != INT_MAX && (result.above[column] < 0 || lowest < result.above[column]))
                result.above[column] = lowest;
        }
    return result;
}

// Stores plane `plane` of the volume on grid g from codes of box.x * box.y (x fastest), empty beyond.
template <class Code>
void uploadPlane(Code* volume, const GridShape& g, int plane, GridBox box, std::vector<Code>& staging,
                 const std::vector<Code>& codes) {
    std::fill(staging.begin(), staging.end(), emptySite<Code>);
    for (int y = 0; y < box.y; ++y) std::copy_n(codes.data() + size_t(box.x) * y, box.x, staging.data() + size_t(g.x) * y);
    checkCuda(cudaMemcpy(volume + g.index(0, 0, plane), staging.data(), staging.size() * sizeof(Code),
                         cudaMemcpyHostToDevice),
              "uploading the mask");
}

// Level by level, in codes of type Code (the full grid's width).
template <class Code>
void buildInsideMapsOf(const InsideLevels& levels, const GridShape& full, GridBox box, Slab slab,
                       const AxisWeights& weights, RankGroup& ranks) {
    for (size_t level = 0; level < levels.size(); ++level) {
        gridSize = full.halved(int(level));
        const GridShape g = gridSize;
        const GridBox b = levelBox(box, int(level));
        const Slab planes = slab.halved(int(level));
        const int first = slabFirstPlane(g, planes);
        const uint8_t* flags = levels[level];
        Code* volume = codesIn<Code>(voronoiBuffers[voronoiIndex]);
        LAUNCH_KERNEL(kernelFill<Code>, voxelGrid(g), voxelBlock(), 0, volume, emptySite<Code>, g);
        std::vector<Code> staging(size_t(g.x) * size_t(g.y)), codes(planeVoxels(b));
        for (int k = 0; k < planes.planes(); ++k) {
            for (int y = 0; y < b.y; ++y)
                for (int x = 0; x < b.x; ++x) {
                    const size_t voxel = size_t(x) + size_t(b.x) * y;
                    codes[voxel] = flags[voxel + planeVoxels(b) * size_t(k)]
                                       ? g.codes.encode<Code>(x, y, planes.begin + k)
                                       : emptySite<Code>;
                }
            uploadPlane(volume, g, first + k, b, staging, codes);
        }
        if (g.wholeZ > 0) {  // a slab: its columns go on in the slabs below and above
            const NeighbourInside neighbours = neighbourInside(flags, b, planes, ranks);
            for (const auto& [plane, nearest] :
                 {std::pair{first - 1, &neighbours.below}, std::pair{first + planes.planes(), &neighbours.above}}) {
                for (size_t column = 0; column < codes.size(); ++column)
                    codes[column] = (*nearest)[column] < 0
                                        ? emptySite<Code>
                                        : g.codes.encode<Code>(int(column % size_t(b.x)), int(column / size_t(b.x)),
                                                               (*nearest)[column]);
                uploadPlane(volume, g, plane, b, staging, codes);
            }
        }
        computeVoronoi(weights);
        checkCuda(cudaMemcpy(insideMaps[level], currentSites, size_t(g.voxels()) * sizeof(Code),
                             cudaMemcpyDeviceToDevice),
                  "storing the mask's inside map");
    }
}

}  // namespace

InsideLevels::InsideLevels(const uint8_t* inside, GridBox box, Slab slab, int levelCount) : box_(box), slab_(slab) {
    if (inside == nullptr) return;
    levels_.push_back(inside);
    coarse_.reserve(size_t(levelCount));  // the pointers into it stay valid
    for (int level = 1; level < levelCount; ++level) {
        const GridBox fine = levelBox(box, level - 1), coarse = levelBox(box, level);
        const int finePlanes = slab.halved(level - 1).planes();
        const uint8_t* finer = levels_.back();
        std::vector<uint8_t>& flags =
            coarse_.emplace_back(planeVoxels(coarse) * size_t(slab.halved(level).planes()), uint8_t(0));
        for (int z = 0; z < finePlanes; ++z)
            for (int y = 0; y < fine.y; ++y)
                for (int x = 0; x < fine.x; ++x)
                    flags[size_t(x / 2) + size_t(coarse.x) * (size_t(y / 2) + size_t(coarse.y) * size_t(z / 2))] |=
                        finer[size_t(x) + size_t(fine.x) * (size_t(y) + size_t(fine.y) * size_t(z))];
        levels_.push_back(flags.data());
    }
}

bool InsideLevels::inside(int level, int x, int y, int z) const {
    const GridBox b = levelBox(box_, level);
    const int k = z - slab_.halved(level).begin;
    return levels_[size_t(level)][size_t(x) + size_t(b.x) * (size_t(y) + size_t(b.y) * size_t(k))] != 0;
}

void buildInsideMaps(const InsideLevels& levels, const GridShape& full, GridBox box, Slab slab,
                     const AxisWeights& weights, RankGroup& ranks) {
    withCodeType(full.codes.wide, [&](auto code) {
        buildInsideMapsOf<decltype(code)>(levels, full, box, slab, weights, ranks);
    });
    gridSize = full;
    voronoiIndex = 0;
    checkCuda(cudaMemset(insideMoves, 0, sizeof(unsigned)), "clearing the count of moves into the mask");
}

CVT_END_NAMESPACE
