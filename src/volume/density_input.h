// The density a cvt-volume run works on: read from the user's file and checked, or the program's own
// synthetic density; with what the summary and the messages say about it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "host/grid_shape.h"
#include "options.h"

namespace cvt::volume {

struct DensityInput {
    std::string source;  // the file, or "built-in"
    std::string format;  // "npy", "nrrd", "tiff", "raw", or "synthetic"
    std::string type;    // the sample type of the file ("float32" for the built-in density)
    GridBox box;         // the volume's sides, x fastest
    bool fortranOrder = false;              // .npy: written in Fortran order, as outputs then are too
    std::array<double, 3> spacing{1, 1, 1};  // as the file gives it
    Spacing usedSpacing{1, 1, 1};            // --spacing, else the file's: what distances are measured with
    formats::VolumeGeometry geometry;        // where the file places the volume, for label files
    std::vector<float> values;               // mapped (--window, --clip-below); index x + X*(y + Y*z)
    float minimum = 0, maximum = 0;
    double sum = 0;
    // Every value is divided by `maximum` before the run: a tessellation does not depend on the scale
    // of the density, and values of at most 1 keep every float sum of the run finite.
    float scale() const { return maximum; }
};

// What a run reads of its density, in parts, as each rank reads a slab of the file:
// the built-in density, whole;
DensityInput builtInDensity();
// the options density files are read with;
formats::ReadOptions densityReadOptions(const VolumeOptions& options);
// what a density file says of itself besides its values (its geometry is moved out of `file`);
DensityInput densityDescription(const std::string& path, formats::VolumeFile& file);
// the spacing that distances are measured with: --spacing, else the file's, which must be usable (an
// image's z spacing is planeSpacing's whichever it is).
void chooseSpacing(DensityInput& input, const VolumeOptions& options);

}  // namespace cvt::volume
