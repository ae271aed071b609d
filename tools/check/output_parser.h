// Reads the program's output back: one line "v X Y Z\n" per voxel, x outermost, z innermost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cvt::check {

struct ParsedOutput {
    bool wellFormed = true;
    std::string problem;          // the first malformed line, in words
    std::vector<int32_t> labels;  // site codes in the voxel layout (index x + edge*y + edge^2*z)
};

// Accepts exactly edge^3 lines, each with three decimal numbers 0..1023 as printf("%d") writes them.
ParsedOutput parseOutput(std::string_view text, int edge);

}  // namespace cvt::check
