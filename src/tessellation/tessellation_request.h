// A tessellation of a density held in memory, as its front ends (cvt-volume, the Python module) ask
// for it and get it back. Plain data and host code, shared by the backends.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/cvt_request.h"
#include "host/axis_spacing.h"
#include "host/host_labelling.h"
#include "formats/volume_file.h"
#include "tessellation.h"

namespace cvt::volume {

// How drawn sites are placed: uniformly in the box, or with probability proportional to the density.
enum class Seeding { uniform, density };

// The density: samples of any type and layout, read where they lie (float32 stored x fastest is used
// without a copy). Messages name it by `source` and its voxels as `naming` says.
struct DensityView {
    formats::SampleView samples;
    std::string source = "density";
    formats::VoxelNaming naming = formats::VoxelNaming::xyz;
};

// What to run. Every field has the value cvt-volume uses when its option is not given, so that a front
// end sets only what its caller chose, and a new parameter is one more field here.
struct TessellationParameters {
    int sites = 10000;
    Seeding seeding = Seeding::density;
    uint64_t seed = 0;
    // Voxels (x, y, z) to start from instead of drawn sites; each inside the box, each once.
    std::optional<std::vector<std::array<int, 3>>> initialSites;
    std::string initialSitesSource = "initial sites";  // names them in messages
    int maxIterations = 10000;
    int levels = 1;
    bool deterministic = true;  // fixed-point moment sums: the same bits on every run and device
    Spacing spacing{1, 1, 1};   // voxel spacing, x first: distances and the energy are measured with it
    // Intensities to densities: a window or a threshold (see formats::DensityMapping).
    formats::DensityMapping mapping;
    // Where to tessellate: inside the mask's non-zero voxels (the density's shape) and where the mapped
    // density is above maskAbove; both when both are given. Labels are 0 outside, sites from 1.
    std::optional<formats::SampleView> mask;
    std::optional<double> maskAbove;
    std::string maskSource = "mask";  // names the mask in messages
    // The label of the first region: 1 (label 0 is never a region), or 0. A masked run's is 1, since 0
    // is the outside.
    uint32_t startLabel = 1;
    // Every region one 6-connected piece that holds its site (voronoi/connected_regions.h): the driver
    // makes each labelling's regions connected before the centroid step, and the final labels are those.
    bool connected = false;
};

// What the run gives back.
struct TessellationRun {
    Tessellation tessellation;  // sites by id, their masses and voxel counts, the id of every voxel
    HostLabelling labelling;    // the final labelling of the whole grid, by site code, x fastest
    float energy = 0;           // of the final labelling
    CvtRunReport report;        // the decision history, the stop reason, the times of the phases
    int lastIteration = 0;
    GridShape grid;             // the grid the box was placed in
    uint64_t insideVoxels = 0;  // inside the mask; the box's voxels without one
    SitePlacement::Kind placement = SitePlacement::Kind::density;
    std::string backend, device;
};

SitePlacement::Kind placementKindOf(const TessellationParameters& parameters);

// Placement by density needs as many voxels of positive density as sites: cvt::InvalidInput naming
// the density's source otherwise.
uint64_t positiveVoxels(const float* begin, const float* end);
void requireEnoughPositive(const std::string& source, uint64_t positive, int sites);

// The label of a run's first region.
uint32_t firstLabelOf(const TessellationParameters& parameters);

// The grid a run on a box of these sides works on: each side rounded up to its step, with 32-bit site
// codes where they hold it; with 64-bit ones in any case when CVT_WIDE_SITE_CODES=1 is in the
// environment, which the tests use to compare the two on boxes that 32 bits hold.
GridShape gridFor(GridBox box);

// "X x Y x Z", as cvt-volume's messages give a box.
std::string boxText(GridBox box);
// "a 48 x 40 x 32 box in a 64 x 64 x 32 grid", or the like in the terms of `naming`: what a run takes
// the memory for.
std::string placementText(GridBox box, formats::VoxelNaming naming);

// The box of the density (of which `density` holds some or all planes) and the parameters, checked
// before any work (cvt::InvalidInput naming the density's source or the initial sites' source).
void requireValidRequest(GridBox box, const DensityView& density, const TessellationParameters& parameters);

}  // namespace cvt::volume
