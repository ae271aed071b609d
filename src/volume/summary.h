// The run summary that --summary writes: a JSON file with the parameters, the input, the device, the
// decision history, why the run stopped, the sites before and after, and the time of every phase.
#pragma once

#include <string>

#include "density_input.h"
#include "driver/cvt_request.h"
#include "options.h"

namespace cvt::volume {

struct PhaseSeconds {
    double read = 0, synthesis = 0, upload = 0, iterations = 0, output = 0;
};

struct RunSummary {
    const VolumeOptions* options = nullptr;
    const DensityInput* input = nullptr;
    const CvtRunReport* report = nullptr;
    SitePlacement::Kind placement = SitePlacement::Kind::uniform;
    GridShape grid;
    std::string backend, device;
    int lastIteration = 0;
    size_t sitesAtEnd = 0;
    uint32_t firstId = 0;     // the label of the first site: 1 with a mask
    size_t splitRegions = 0;  // regions of more than one 6-connected piece
    uint64_t insideVoxels = 0;  // inside the mask
    float finalEnergy = 0;  // of the final labelling
    double largestCentroidDistance = 0;  // from a site to its region's centroid, physical
    PhaseSeconds seconds;
};

// The summary as JSON text.
std::string summaryText(const RunSummary& summary);
// Written completely or not at all.
void writeSummary(const std::string& path, const RunSummary& summary);

const char* placementName(SitePlacement::Kind kind);

}  // namespace cvt::volume
