#include "density_input.h"

#include <algorithm>
#include <numeric>

#include "formats/large_buffer.h"
#include "host/density.h"

namespace cvt::volume {

DensityInput builtInDensity() {
    DensityInput input;
    input.source = "built-in";
    input.format = "synthetic";
    input.type = "float32";
    input.box = cubeBox(densityEdge);
    formats::resizeLarge(input.values, densityVoxels);
    synthesizeDensity(input.values.data());
    return input;
}

formats::ReadOptions densityReadOptions(const VolumeOptions& options) {
    formats::ReadOptions read = options.read;
    read.maxSide = maxGridSide;
    return read;
}

DensityInput densityDescription(const std::string& path, formats::VolumeFile& file) {
    DensityInput input;
    input.source = path;
    input.format = formats::formatName(file.format);
    input.type = formats::sampleTypeName(file.type);
    input.box = GridBox{file.shape.x, file.shape.y, file.shape.z};
    input.fortranOrder = file.fortranOrder;
    input.spacing = file.spacing;
    input.geometry = std::move(file.geometry);
    return input;
}

void chooseSpacing(DensityInput& input, const VolumeOptions& options) {
    input.usedSpacing = options.spacing.value_or(input.spacing);
    // An image has no z spacing of its own: --spacing's SZ is not used.
    if (input.geometry.axes == 2) input.usedSpacing = planeSpacing(input.usedSpacing[0], input.usedSpacing[1]);
    if (!options.spacing)
        if (const auto problem = spacingProblem(input.spacing)) throw Failure(input.source + ": " + *problem);
}

}  // namespace cvt::volume
