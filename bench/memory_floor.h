// The memory floor of an iteration: what streaming the bytes that one Lloyd iteration must move costs
// on this machine, with plain loops on the host threads that run the simulation.
#pragma once

#include "device/device.h"
#include "host/grid_shape.h"

CVT_BEGIN_NAMESPACE

// Per voxel an iteration must read and write 52 bytes: each of the labelling's five passes (the flood,
// two construction passes, two query passes) reads one site volume and writes one (8 bytes each), and
// the centroid step reads the labelling and the density and writes the site volume of the next
// labelling (12 bytes). Streams exactly that through real volumes of grid g, pass after pass, each pass
// a plain loop over the z planes in parallel, and returns the best of `repeats` timings. Only the CPU
// simulation has host threads to measure; on a GPU it returns a negative value.
double iterationFloorSeconds(const GridShape& g, int repeats);

CVT_END_NAMESPACE
