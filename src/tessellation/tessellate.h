// The tessellation of a density held in memory on the backend this is compiled for: what cvt-volume
// runs on the density of a file, and what the Python module runs on an array. Writes no file and prints
// nothing.
#pragma once

#include "device/device.h"
#include "driver/rank_group.h"
#include "host/buffers.h"
#include "host/slab.h"
#include "memory_check.h"
#include "tessellation_request.h"

CVT_BEGIN_NAMESPACE

// Where a process's part of a run lies: the whole box, of which the density holds the planes of `slab`,
// among `ranks`. By default this process alone holds the whole box, the density's shape.
struct RunPlace {
    RankGroup* ranks = nullptr;
    GridBox box{};  // empty: the density's shape
    Slab slab{};    // empty: every plane of the box
};

// Runs the tessellation on this backend, telling `observer` (if any) what the driver does; it may end
// the run by throwing, and the exception leaves this function with the buffer set released. Every
// other failure is a cvt::Failure (cvt::InvalidInput or cvt::MemoryShortfall for those kinds) or
// std::bad_alloc; where ranks share the run, the failures of its checks are every rank's. One run at a
// time in a process: the buffer set is the process's own. With several ranks, the result holds the
// labels of this process's planes and the tables of the whole box.
volume::TessellationRun tessellate(const volume::DensityView& density, const volume::TessellationParameters& parameters,
                                   CvtObserver* observer, const RunPlace& place);
// A process alone holding the whole box (the entry the Python module reaches on every backend).
volume::TessellationRun tessellate(const volume::DensityView& density, const volume::TessellationParameters& parameters,
                                   CvtObserver* observer = nullptr);

// cvt::MemoryShortfall, saying what needs the memory (`what`), when the device or the host has less
// than `needs`.
void requireMemory(const volume::MemoryNeeds& needs, const std::string& what);

// How the run sums its regions: exactly when it is deterministic, else with cvt's own float step.
MomentSums momentSumsOf(const volume::TessellationParameters& parameters);

// The memory of the site list that a run with exact sums on `grid` keeps, besides the buffer set.
volume::MemoryNeeds siteListMemory(const volume::TessellationParameters& parameters, const GridShape& grid);

// The device and host bytes that tessellate() takes in a process holding `slab` (empty: every plane) of
// a density of shape `box` (what it checks against the memory available before allocating anything).
volume::MemoryNeeds tessellationMemory(GridBox box, const volume::TessellationParameters& parameters, Slab slab = {});

CVT_END_NAMESPACE
