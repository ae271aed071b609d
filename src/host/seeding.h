// Placement of the initial sites. The program's own run draws them from a fixed pseudo-random
// sequence, so every run starts from the same sites; a run on a user's volume may start elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "buffers.h"
#include "site_list.h"
#include "site_placement.h"

CVT_BEGIN_NAMESPACE

// Picks `count` distinct voxels of the grid E = gridSize.doubled() with the KISS generator restarted
// from zero, builds in `staging` (E's voxels, index x + E.x*y + E.x*E.y*z) the site volume that holds
// each voxel's own code there and EMPTY_SITE elsewhere, and uploads it into voronoiBuffers[voronoiIndex].
// gridSize is E during the call and back at its old value on return, also when it throws.
//
// Returns nothing: the upload is checked here and a failure throws cvt::Failure, as does a count that
// cannot be placed (negative or above E's voxels, where the search would never end), a side above
// maxGridSide and a buffer set too small for E.
void seedSites(int* staging, int count);

// The density that placement by density draws from: `values` holds an array of the sides `layout`
// (empty: the seeding grid's), voxel (x, y, z) at x + layout.x (y + layout.y z), each value divided by
// `divisor` to give the weight of its voxel.
struct SeedingDensity {
    SeedingDensity(const float* data = nullptr, GridBox sides = {}, float by = 1.0f)  // NOLINT: a grid's density
        : values(data), layout(sides), divisor(by) {}
    const float* values;
    GridBox layout;
    float divisor;
};

// The general form of seedSites, on the grid E = gridSize.doubled(), which is pyramid level `level`
// of the full grid: places `count` sites as `placement` says, inside `box` (a box of this grid), stages
// and uploads the site volume as seedSites does, in codes of the grid's width (site_code.h: `staging`
// holds E's voxels of that width). `density` is the density of this level, read only for
// density placement. Given sites are placed at their coordinates on this level, so sites
// that fall into one coarse voxel become one; `count` is then ignored. Returns the number of sites placed.
// With `inside` (E's flags, non-null with a mask) every site is placed on an inside voxel: uniform draws
// outside are discarded like those on occupied voxels, and a given site outside is an error.
// Throws cvt::Failure where seedSites does, and when fewer voxels of positive density than `count` lie
// in the box (density placement) or fewer inside voxels than `count` (uniform placement with a mask).
SiteList placeSites(void* staging, int count, const SitePlacement& placement, GridBox box, int level,
                    const SeedingDensity& density, const uint8_t* inside = nullptr);

// Uniform placement's draws: triples of the KISS generator restarted from `seed`, x from the first
// draw, y from the second, z from the third, each scaled to the box's side on its axis, until `take`
// has accepted `count` voxels (it refuses an occupied one).
void drawUniformVoxels(int count, GridBox box, uint64_t seed, const std::function<bool(int, int, int)>& take);

CVT_END_NAMESPACE
