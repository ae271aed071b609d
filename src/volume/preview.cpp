#include "preview.h"

#include <algorithm>
#include <cfloat>

#include "bitmap_font.h"
#include "device/failure.h"
#include "formats/png_file.h"
#include "preview_layout.h"

namespace cvt::volume {
namespace {

constexpr Rgb background{24, 24, 24};
constexpr Rgb textColour{230, 230, 230};
// Density runs from near black to a middle grey, so that the amber borders stand out even on the
// densest voxels, and no density is ever the dots' pure white or black. One strong border colour
// reads better than a colour per site: the network of regions shows at a glance.
constexpr int darkestGrey = 16, brightestGrey = 160;
constexpr Rgb borderColour{255, 200, 40};
constexpr Rgb outsideColour{6, 8, 24};
constexpr Rgb dotFill{255, 255, 255};
constexpr Rgb dotRim{0, 0, 0};

// Density as painted: negative and NaN values count as empty, an infinite one as the largest float.
float paintedDensity(float value) { return value > 0 ? std::min(value, FLT_MAX) : 0.0f; }

// The rows of a slice that the scene's planes hold (all of them for the z slice where it lies in them).
SliceVoxels heldSlice(const PreviewScene& scene, int axis) {
    const int sides[3] = {scene.box.x, scene.box.y, scene.box.z};
    const int firstPlane = scene.firstPlane, endPlane = scene.planes > 0 ? firstPlane + scene.planes : scene.box.z;
    int firstRow = 0, endRow = sides[sliceVAxis[axis]];
    if (axis == 2 && (scene.at[2] < firstPlane || scene.at[2] >= endPlane)) endRow = 0;
    if (axis != 2) firstRow = firstPlane, endRow = endPlane;  // the rows of the x and y slices are z planes
    SliceVoxels slice{sides[sliceUAxis[axis]], endRow - firstRow, {}, {}};
    slice.density.reserve(size_t(slice.columns) * size_t(slice.rows));
    slice.labels.reserve(size_t(slice.columns) * size_t(slice.rows));
    int p[3];
    p[axis] = scene.at[axis];
    for (int v = firstRow; v < endRow; ++v)
        for (int u = 0; u < slice.columns; ++u) {
            p[sliceUAxis[axis]] = u;
            p[sliceVAxis[axis]] = v;
            const size_t index =
                size_t(p[0]) + size_t(sides[0]) * (size_t(p[1]) + size_t(sides[1]) * size_t(p[2] - firstPlane));
            slice.density.push_back(paintedDensity(scene.density[index]));
            slice.labels.push_back(scene.labels[index]);
        }
    return slice;
}

void paintDensity(RgbImage& image, const SlicePlacement& at, const SliceVoxels& slice, float brightest,
                  bool zeroIsOutside) {
    for (int v = 0; v < slice.rows; ++v)
        for (int u = 0; u < slice.columns; ++u) {
            if (zeroIsOutside && slice.labels[size_t(v) * slice.columns + u] == 0) {
                fillRect(image, at.left + u * at.scale, at.top + v * at.scale, at.scale, at.scale, outsideColour);
                continue;
            }
            // The ratio first: a step of range / brightest overflows when the brightest value is tiny.
            const float d = slice.density[size_t(v) * slice.columns + u];
            const float level = brightest > 0 ? d / brightest : 0.0f;
            const auto grey = uint8_t(darkestGrey + int(level * float(brightestGrey - darkestGrey) + 0.5f));
            fillRect(image, at.left + u * at.scale, at.top + v * at.scale, at.scale, at.scale, {grey, grey, grey});
        }
}

// A voxel whose neighbour has another site gets a one-pixel line along the edge of its pixel block
// that faces the neighbour, so that the line between two regions is two pixels wide and centred on
// their true border (at scale 1 a block is one pixel, and both voxels' pixels become the line).
// With a mask, the outside has no borders, and neither has the mask's edge: the dark outside shows it.
void paintBorders(RgbImage& image, const SlicePlacement& at, const SliceVoxels& slice, bool zeroIsOutside) {
    const int s = at.scale;
    for (int v = 0; v < slice.rows; ++v)
        for (int u = 0; u < slice.columns; ++u) {
            const size_t index = size_t(v) * slice.columns + u;
            const uint32_t label = slice.labels[index];
            if (zeroIsOutside && label == 0) continue;
            const auto differs = [&](size_t other) {
                return slice.labels[other] != label && !(zeroIsOutside && slice.labels[other] == 0);
            };
            const int left = at.left + u * s, top = at.top + v * s;
            if (u > 0 && differs(index - 1)) fillRect(image, left, top, 1, s, borderColour);
            if (u + 1 < slice.columns && differs(index + 1)) fillRect(image, left + s - 1, top, 1, s, borderColour);
            if (v > 0 && differs(index - slice.columns)) fillRect(image, left, top, s, 1, borderColour);
            if (v + 1 < slice.rows && differs(index + slice.columns)) fillRect(image, left, top + s - 1, s, 1, borderColour);
        }
}

// A white disc with a black rim, centred on the site's pixel block and clipped to the slice. All rims
// go first, so that a dot stays whole where it overlaps another's rim.
void paintSiteDots(RgbImage& image, const SlicePlacement& at, const PreviewScene& scene, int axis) {
    const int sides[3] = {scene.box.x, scene.box.y, scene.box.z};
    const int radius = std::min(2 + at.scale / 2, 8);
    const int right = at.left + at.columns * at.scale, bottom = at.top + at.rows * at.scale;
    for (const bool rims : {true, false}) {
        const float reach = float(rims ? radius + 1 : radius);
        for (const std::array<int, 3>& site : *scene.sites) {
            if (site[axis] != scene.at[axis]) continue;
            if (site[0] < 0 || site[0] >= sides[0] || site[1] < 0 || site[1] >= sides[1] || site[2] < 0 ||
                site[2] >= sides[2])
                continue;
            const float cx = float(at.left) + (float(site[sliceUAxis[axis]]) + 0.5f) * float(at.scale);
            const float cy = float(at.top) + (float(site[sliceVAxis[axis]]) + 0.5f) * float(at.scale);
            for (int y = std::max(at.top, int(cy) - radius - 2); y < std::min(bottom, int(cy) + radius + 2); ++y)
                for (int x = std::max(at.left, int(cx) - radius - 2); x < std::min(right, int(cx) + radius + 2); ++x) {
                    const float dx = float(x) + 0.5f - cx, dy = float(y) + 0.5f - cy;
                    if (dx * dx + dy * dy <= reach * reach) fillRect(image, x, y, 1, 1, rims ? dotRim : dotFill);
                }
        }
    }
}

}  // namespace

std::array<int, 3> boxCentre(const GridBox& box) { return {box.x / 2, box.y / 2, box.z / 2}; }

PreviewSlices heldSlices(const PreviewScene& scene) {
    layoutPreview(scene);  // throws for an unusable scene before a voxel is read
    PreviewSlices slices;
    for (int a = 0; a < 3; ++a) slices[size_t(a)] = heldSlice(scene, a);
    return slices;
}

PreviewSlices joinedSlices(const std::vector<PreviewSlices>& parts) {
    PreviewSlices joined;
    for (int a = 0; a < 3; ++a) {
        SliceVoxels& slice = joined[size_t(a)];
        for (const PreviewSlices& part : parts) {
            const SliceVoxels& piece = part[size_t(a)];
            if (piece.rows == 0) continue;
            slice.columns = piece.columns;
            slice.rows += piece.rows;
            slice.density.insert(slice.density.end(), piece.density.begin(), piece.density.end());
            slice.labels.insert(slice.labels.end(), piece.labels.begin(), piece.labels.end());
        }
    }
    return joined;
}

RgbImage renderPreview(const PreviewScene& scene) { return renderPreview(scene, heldSlices(scene)); }

RgbImage renderPreview(const PreviewScene& scene, const PreviewSlices& slices) {
    const PreviewLayout layout = layoutPreview(scene);
    for (int a = 0; a < 3; ++a) {
        const SlicePlacement at = slicePlacement(scene, a);
        if (slices[size_t(a)].columns != at.columns || slices[size_t(a)].rows != at.rows)
            throw Failure("the preview's slices do not cover the box");
    }
    // Grey levels are relative to the densest voxel shown, so each picture uses the whole ramp.
    float brightest = 0;
    for (const SliceVoxels& slice : slices)
        for (float d : slice.density) brightest = std::max(brightest, d);
    RgbImage image = blankImage(layout.width, layout.height, background);
    for (int a = 0; a < 3; ++a) {
        paintDensity(image, layout.slices[a], slices[size_t(a)], brightest, scene.zeroIsOutside);
        paintBorders(image, layout.slices[a], slices[size_t(a)], scene.zeroIsOutside);
        paintSiteDots(image, layout.slices[a], scene, a);
        drawText(image, layout.labels[a].left, layout.labels[a].top, layout.labels[a].text, layout.textDot, textColour);
    }
    drawText(image, layout.caption.left, layout.caption.top, layout.caption.text, layout.textDot, textColour);
    return image;
}

void writePreview(const std::string& path, const PreviewScene& scene) { writePreview(path, scene, heldSlices(scene)); }

void writePreview(const std::string& path, const PreviewScene& scene, const PreviewSlices& slices) {
    const RgbImage image = renderPreview(scene, slices);
    formats::writePng(path, image.width, image.height, image.pixels.data());
}

}  // namespace cvt::volume
