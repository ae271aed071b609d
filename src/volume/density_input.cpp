#include "density_input.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>

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

std::string shapeText(GridBox box) {
    return std::to_string(box.x) + " x " + std::to_string(box.y) + " x " + std::to_string(box.z);
}

DensityInput densityFile(const std::string& path, const formats::ReadOptions& read,
                         const formats::DensityMapping& mapping) {
    formats::ReadOptions options = read;
    options.maxSide = maxGridEdge;
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

// The voxels inside the mask file (non-zero) and above the threshold, if given; the density is set to
// zero outside.
void applyMask(DensityInput& input, const VolumeOptions& options) {
    const size_t voxels = input.values.size();
    formats::resizeLarge(input.inside, voxels);
    std::fill(input.inside.begin(), input.inside.end(), uint8_t(1));
    char threshold[48] = "";
    if (options.maskAbove) std::snprintf(threshold, sizeof threshold, "--mask-above %g", *options.maskAbove);
    std::string source = threshold;
    if (options.maskPath) {
        const std::string& path = *options.maskPath;
        formats::ReadOptions read = options.read;
        read.format.reset();
        read.maxSide = maxGridEdge;
        const formats::VolumeFile mask = formats::readVolume(path, read);
        const GridBox shape{mask.shape.x, mask.shape.y, mask.shape.z};
        if (shape.x != input.box.x || shape.y != input.box.y || shape.z != input.box.z)
            throw Failure(path + ": the mask is " + shapeText(shape) + ", the density " + shapeText(input.box));
        formats::markNonZero(mask, input.inside.data());
        source = path;
    }
    if (options.maskAbove)
        for (size_t i = 0; i < voxels; ++i) input.inside[i] &= uint8_t(input.values[i] > *options.maskAbove);
    input.insideVoxels = 0;
    bool mass = false;
    for (size_t i = 0; i < voxels; ++i) {
        if (!input.inside[i]) input.values[i] = 0.0f;
        input.insideVoxels += input.inside[i];
        mass |= input.values[i] > 0;
    }
    if (input.insideVoxels == 0) throw Failure(source + ": no voxel lies inside the mask");
    if (!mass) throw Failure(source + ": every density value inside the mask is zero");
}

}  // namespace

DensityInput loadDensity(const VolumeOptions& options) {
    DensityInput input =
        options.densityPath ? densityFile(*options.densityPath, options.read, options.mapping) : builtInDensity();
    input.insideVoxels = input.values.size();
    if (options.masked()) applyMask(input, options);
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
