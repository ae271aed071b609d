// Where a masked run's sites may lie: the mask on every pyramid level, and the labelling of its inside
// voxels on the device (insideMaps), from which a site whose move leaves the mask lands on the inside
// voxel nearest to where it would have gone.
#pragma once

#include <cstdint>
#include <vector>

#include "../device/device.h"
#include "../host/axis_spacing.h"
#include "../host/grid_shape.h"
#include "../host/slab.h"
#include "rank_group.h"

CVT_BEGIN_NAMESPACE

// The mask on each level, finest first, over a process's planes of the box: the flags given (box.x *
// box.y per plane, x fastest, of the slab's planes), then coarse levels on which a voxel is inside when
// any of its eight finer ones is (the slab halves exactly on every level). Empty without a mask.
class InsideLevels {
public:
    InsideLevels(const uint8_t* inside, GridBox box, Slab slab, int levelCount);
    bool empty() const { return levels_.empty(); }
    size_t size() const { return levels_.size(); }
    // The flags of level `level`: its box's x and y sides, the slab's planes of that level.
    const uint8_t* operator[](size_t level) const { return levels_[level]; }
    // Whether voxel (x, y, z) of level `level` (z in the level's box) is inside; it must lie in the slab.
    bool inside(int level, int x, int y, int z) const;

private:
    GridBox box_;
    Slab slab_;
    std::vector<const uint8_t*> levels_;
    std::vector<std::vector<uint8_t>> coarse_;
};

// Fills insideMaps[level] for each level of full grid `full` (a whole grid, or a rank's slab grid at
// level 0): the labelling, under `weights`, of a site volume that holds every inside voxel, so that
// each voxel names its nearest inside voxel, ties as in every labelling. A slab's labelling also has
// the nearest inside voxels of the slabs below and above it in each column, which `ranks` give. Uses
// the ping-pong pair, before the run's first labelling.
void buildInsideMaps(const InsideLevels& levels, const GridShape& full, GridBox box, Slab slab,
                     const AxisWeights& weights, RankGroup& ranks);

CVT_END_NAMESPACE
