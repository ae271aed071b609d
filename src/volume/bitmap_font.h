// A built-in 5 x 7 bitmap font for the labels of the preview: digits, upper- and lower-case letters
// (g, p, q and y hang two rows below the line) and common punctuation. Any other character is drawn
// as '?'.
#pragma once

#include <string_view>

#include "rgb_image.h"

namespace cvt::volume {

// Sizes in pixels of a line of text drawn with `dot` pixels per font dot; glyphs are one dot apart.
int textWidth(std::string_view text, int dot);
int textHeight(int dot);

// Draws `text` with its top-left corner at (left, top); only the glyphs' dots are painted.
void drawText(RgbImage& image, int left, int top, std::string_view text, int dot, Rgb colour);

}  // namespace cvt::volume
