// Where the parts of the preview picture go. The scale (whole pixels per voxel) is the largest that
// keeps the three slices within about 2000 pixels across, so a 256^3 volume gets 2 and anything with
// sides of 700 or more gets 1; small volumes are enlarged up to 16 times.
#pragma once

#include <array>
#include <string>

#include "preview.h"

namespace cvt::volume {

// Which volume axes run to the right (u) and downwards (v) in the slice of each axis.
constexpr int sliceUAxis[3] = {1, 0, 0};
constexpr int sliceVAxis[3] = {2, 2, 1};

struct TextPlacement {
    int left, top;
    std::string text;
};

struct PreviewLayout {
    int width, height;
    int textDot;  // pixels per font dot
    std::array<SlicePlacement, 3> slices;
    std::array<TextPlacement, 3> labels;  // "x = 50" above each slice
    TextPlacement caption;
};

// Throws cvt::Failure for an unusable scene (see renderPreview).
PreviewLayout layoutPreview(const PreviewScene& scene);

}  // namespace cvt::volume
