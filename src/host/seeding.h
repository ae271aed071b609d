// Placement of the initial sites. The program's own run draws them from a fixed pseudo-random
// sequence, so every run starts from the same sites; a run on a user's volume may start elsewhere.
#pragma once

#include "buffers.h"
#include "site_placement.h"

CVT_BEGIN_NAMESPACE

// Picks `count` distinct voxels of the grid of edge E = 2 * gridSize with the KISS generator restarted
// from zero, builds in `staging` (E^3 entries, index x + E*y + E*E*z) the site volume that holds each
// voxel's own code there and EMPTY_SITE elsewhere, and uploads it into voronoiBuffers[voronoiIndex].
// gridSize is E during the call and back at its old value on return, also when it throws.
//
// Returns nothing: the upload is checked here and a failure throws cvt::Failure, as does a count that
// cannot be placed (negative or above E^3, where the search would never end), an edge above 1024
// (coordinates have 10 bits) and a buffer set too small for E.
void seedSites(int* staging, int count);

// The general form of seedSites, on the grid of edge E = 2 * gridSize, which is pyramid level `level`
// of the full grid: places `count` sites as `placement` says, inside `box` (a box of this grid), stages
// and uploads the site volume as seedSites does. `density` is the density of this level (E^3 values),
// read only for density placement. Given sites are placed at their coordinates on this level, so sites
// that fall into one coarse voxel become one; `count` is then ignored. Returns the number of sites placed.
// With `inside` (E^3 flags, non-null with a mask) every site is placed on an inside voxel: uniform draws
// outside are discarded like those on occupied voxels, and a given site outside is an error.
// Throws cvt::Failure where seedSites does, and when fewer voxels of positive density than `count` lie
// in the box (density placement) or fewer inside voxels than `count` (uniform placement with a mask).
int placeSites(int* staging, int count, const SitePlacement& placement, GridBox box, int level,
               const float* density, const uint8_t* inside = nullptr);

CVT_END_NAMESPACE
