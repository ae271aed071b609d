// What every cvt-volume run, in one process or across ranks, does around the tessellation itself: its
// parameters from the options, the notes on its input, and the summary at the end.
#pragma once

#include <optional>
#include <string>

#include "density_input.h"
#include "formats/volume_file.h"
#include "options.h"
#include "progress.h"
#include "summary.h"
#include "tessellation/tessellation_request.h"

namespace cvt::volume {

// The tessellation's parameters (the initial sites read from --sites-in); the mask is not set.
TessellationParameters parametersOf(const VolumeOptions& options, const DensityInput& input);

// The notes on the input: its box and grid, its scaling and the spacing used.
void describeInput(ProgressReporter& progress, const DensityInput& input);

// The run's summary file.
void writeRunSummary(const std::string& path, const VolumeOptions& options, const DensityInput& input,
                     const TessellationRun& run, const PhaseSeconds& seconds);

}  // namespace cvt::volume
