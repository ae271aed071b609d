// The sites a run starts from, the same on every rank of a run split into slabs: drawn by density or
// uniformly, or given, on the coarsest pyramid level used, each rank answering for its own planes.
#pragma once

#include "../device/device.h"
#include "../host/grid_shape.h"
#include "../host/site_list.h"
#include "../host/site_placement.h"
#include "../host/slab.h"
#include "inside_maps.h"
#include "rank_group.h"

CVT_BEGIN_NAMESPACE

// What a process holds of the level the sites are placed on: its slab's planes of the level's box, their
// weights for placement by density (the density, x fastest, divided by its maximum) and the mask.
struct SeedingPlanes {
    Slab slab;
    const float* weights = nullptr;        // null unless placement by density
    const InsideLevels* inside = nullptr;  // null without a mask
};

// Places `count` sites as `placement` says inside `box`, the box of pyramid level `level`, with codes of
// `codes`, in the order of placement: drawn by density in the order of their voxels, uniform ones in the
// order of the draws, given ones in their own order (each at its coordinates on this level, so that
// those that share a coarse voxel become one: the first stands for them). With a mask every site lies
// inside it: uniform draws outside are discarded, and a given site outside is an error. Throws
// cvt::Failure, on every rank, for a site outside the box or the mask, and for fewer voxels of
// positive density (or inside the mask) than `count`.
SiteList placeRunSites(int count, const SitePlacement& placement, GridBox box, int level, const SiteLayout& codes,
                       const SeedingPlanes& mine, RankGroup& ranks);

CVT_END_NAMESPACE
