#include "density_input.h"

#include <algorithm>
#include <numeric>

#include "formats/large_buffer.h"
#include "host/density.h"

namespace cvt::volume {
namespace {

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

DensityInput densityFile(const std::string& path, const formats::ReadOptions& read,
                         const formats::DensityMapping& mapping) {
    formats::ReadOptions options = read;
    options.maxSide = maxGridSide;
    formats::VolumeFile file = formats::readVolume(path, options);
    DensityInput input;
    input.source = path;
    input.format = formats::formatName(file.format);
    input.type = formats::sampleTypeName(file.type);
    input.box = GridBox{file.shape.x, file.shape.y, file.shape.z};
    input.fortranOrder = file.fortranOrder;
    input.spacing = file.spacing;
    input.geometry = std::move(file.geometry);
    input.values = formats::densityValues(file, path, mapping);
    return input;
}

}  // namespace

DensityInput loadDensity(const VolumeOptions& options) {
    DensityInput input =
        options.densityPath ? densityFile(*options.densityPath, options.read, options.mapping) : builtInDensity();
    const auto [low, high] = std::minmax_element(input.values.begin(), input.values.end());
    input.minimum = *low;
    input.maximum = *high;
    input.sum = std::accumulate(input.values.begin(), input.values.end(), 0.0);
    input.usedSpacing = options.spacing.value_or(input.spacing);
    if (!options.spacing)
        if (const auto problem = spacingProblem(input.spacing)) throw Failure(input.source + ": " + *problem);
    return input;
}

}  // namespace cvt::volume
