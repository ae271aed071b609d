// cvt-volume's run on the backend it is compiled for.
#pragma once

#include "device/device.h"
#include "driver/rank_group.h"
#include "options.h"

CVT_BEGIN_NAMESPACE

// Reads the input, runs the tessellation and writes the outputs; returns the exit status (0, or 1
// after a one-line message on standard error). With `ranks`, split into slabs across them.
int runVolume(const volume::VolumeOptions& options, RankGroup* ranks = nullptr);

CVT_END_NAMESPACE
