#include "rgb_image.h"

#include <algorithm>

namespace cvt::volume {

RgbImage blankImage(int width, int height, Rgb background) {
    RgbImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(size_t(width) * height * 3);
    fillRect(image, 0, 0, width, height, background);
    return image;
}

void fillRect(RgbImage& image, int left, int top, int width, int height, Rgb colour) {
    const int x0 = std::max(left, 0), x1 = std::min(left + width, image.width);
    const int y0 = std::max(top, 0), y1 = std::min(top + height, image.height);
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = &image.pixels[(size_t(y) * image.width + x0) * 3];
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = colour.r;
            p[1] = colour.g;
            p[2] = colour.b;
        }
    }
}

}  // namespace cvt::volume
