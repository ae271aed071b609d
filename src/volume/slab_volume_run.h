// cvt-volume split across the ranks of an MPI launch: each rank reads, labels and writes one slab of
// whole z planes of the box, and the labels, sites and summary come out as one process writes them.
#pragma once

#include "device/device.h"
#include "driver/rank_group.h"
#include "options.h"

CVT_BEGIN_NAMESPACE

// runVolume across `ranks`: 0 on every rank, or 1 on every rank after one message on rank 0's standard
// error (a failure in the middle of the run ends every rank at once, after the failing rank's message).
int runVolumeOnSlabs(const volume::VolumeOptions& options, RankGroup& ranks);

CVT_END_NAMESPACE
