// An 8-bit RGB picture in memory and the few drawing operations the preview needs. Drawing is clipped
// to the picture, so a layout mistake costs pixels, never memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvt::volume {

struct Rgb {
    uint8_t r, g, b;
};

struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // 3 bytes per pixel, rows top first, no padding
};

RgbImage blankImage(int width, int height, Rgb background);
void fillRect(RgbImage& image, int left, int top, int width, int height, Rgb colour);

inline Rgb pixelAt(const RgbImage& image, int x, int y) {
    const uint8_t* p = &image.pixels[(size_t(y) * image.width + x) * 3];
    return {p[0], p[1], p[2]};
}

}  // namespace cvt::volume
