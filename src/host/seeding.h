// Placement of the initial sites: the same pseudo-random voxels in every run.
#pragma once

#include "buffers.h"

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

CVT_END_NAMESPACE
