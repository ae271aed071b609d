// Placement of the initial sites. The program's own run draws them from a fixed pseudo-random
// sequence, so every run starts from the same sites; a run on a user's volume may start elsewhere.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "buffers.h"
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

// Uniform placement's draws: triples of the KISS generator restarted from `seed`, x from the first
// draw, y from the second, z from the third, each scaled to the box's side on its axis, until `count`
// distinct voxels are taken, in the order of the draws. A draw of a voxel taken already is discarded,
// and so is one that `inside` (when given) flags 0: it is asked about the draws in batches, with a
// flag of 1 for each to clear where the voxel lies outside. Never ends if fewer voxels than `count` can
// be taken.
using InsideOfDraws =
    std::function<void(const std::vector<std::array<int, 3>>& draws, std::vector<uint8_t>& flags)>;
std::vector<std::array<int, 3>> drawUniformVoxels(int count, GridBox box, uint64_t seed,
                                                  const InsideOfDraws& inside = {});

CVT_END_NAMESPACE
