#include "preview_layout.h"

#include <algorithm>
#include <cstdint>

#include "bitmap_font.h"
#include "device/failure.h"

namespace cvt::volume {
namespace {

constexpr int targetWidth = 2000;
constexpr int largestScale = 16;
constexpr int largestSide = 1 << 15;  // pixels; far beyond any useful picture
constexpr int margin = 16;            // around everything
constexpr int sliceGap = 24;          // between the slices
constexpr int labelGap = 8;           // between a label and its slice
constexpr int captionGap = 16;        // between the slices and the caption
constexpr int textDot = 2;

void requireUsable(const PreviewScene& scene) {
    const GridBox& box = scene.box;
    const std::string boxText = std::to_string(box.x) + " x " + std::to_string(box.y) + " x " + std::to_string(box.z);
    if (box.x < 1 || box.y < 1 || box.z < 1) throw Failure("preview: the volume " + boxText + " is empty");
    if (scene.density == nullptr || scene.labels == nullptr || scene.sites == nullptr)
        throw Failure("preview: the density, labels or sites are missing");
    const int sides[3] = {box.x, box.y, box.z};
    for (int a = 0; a < 3; ++a)
        if (scene.at[a] < 0 || scene.at[a] >= sides[a])
            throw Failure("preview: the slice point (" + std::to_string(scene.at[0]) + ", " +
                          std::to_string(scene.at[1]) + ", " + std::to_string(scene.at[2]) +
                          ") lies outside the " + boxText + " volume");
}

int scaleFor(const GridBox& box) {
    // The slices are Y, X and X voxels wide; 64-bit so that no side can overflow the sum.
    const int64_t voxelsAcross = int64_t(box.y) + box.x + box.x;
    const int64_t fitting = (targetWidth - 2 * margin - 2 * sliceGap) / voxelsAcross;
    return int(std::clamp<int64_t>(fitting, 1, largestScale));
}

}  // namespace

PreviewLayout layoutPreview(const PreviewScene& scene) {
    requireUsable(scene);
    const int sides[3] = {scene.box.x, scene.box.y, scene.box.z};
    const int scale = scaleFor(scene.box);
    const int64_t limit = largestSide;
    const auto tooLarge = [&] {
        return Failure("preview: a picture of the " + std::to_string(sides[0]) + " x " + std::to_string(sides[1]) +
                       " x " + std::to_string(sides[2]) + " volume with its caption would be too large");
    };

    PreviewLayout layout{};
    layout.textDot = textDot;
    const int slicesTop = margin + textHeight(textDot) + labelGap;
    int64_t left = margin, slicesBottom = slicesTop;
    for (int a = 0; a < 3; ++a) {
        const int columns = sides[sliceUAxis[a]], rows = sides[sliceVAxis[a]];
        const std::string label = std::string(1, char('x' + a)) + " = " + std::to_string(scene.at[a]);
        const int64_t sliceWidth = int64_t(columns) * scale, sliceHeight = int64_t(rows) * scale;
        if (left + sliceWidth > limit || slicesTop + sliceHeight > limit) throw tooLarge();
        layout.slices[a] = {int(left), slicesTop, scale, columns, rows};
        layout.labels[a] = {int(left), margin, label};
        left += std::max<int64_t>(sliceWidth, textWidth(label, textDot)) + sliceGap;
        slicesBottom = std::max(slicesBottom, slicesTop + sliceHeight);
    }
    const int64_t captionTop = slicesBottom + captionGap;
    if (scene.caption.size() > size_t(limit)) throw tooLarge();
    const int64_t captionWidth = textWidth(scene.caption, textDot);
    const int64_t width = std::max(left - sliceGap, margin + captionWidth) + margin;
    const int64_t height = captionTop + textHeight(textDot) + margin;
    if (width > limit || height > limit) throw tooLarge();
    layout.caption = {margin, int(captionTop), scene.caption};
    layout.width = int(width);
    layout.height = int(height);
    return layout;
}

SlicePlacement slicePlacement(const PreviewScene& scene, int axis) {
    if (axis < 0 || axis > 2) throw Failure("preview: there is no slice of axis " + std::to_string(axis));
    return layoutPreview(scene).slices[axis];
}

}  // namespace cvt::volume
