#include "output_parser.h"

namespace cvt::check {
namespace {

// Parses a number 0..1023 without sign or leading zeros at `pos`; returns -1 if there is none.
int parseCoordinate(std::string_view text, size_t& pos) {
    const size_t start = pos;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    const size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && text[start] == '0') || value > 1023) return -1;
    return value;
}

bool expect(std::string_view text, size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

ParsedOutput parseOutput(std::string_view text, int edge) {
    ParsedOutput result;
    const size_t voxels = size_t(edge) * edge * edge;
    result.labels.resize(voxels);
    size_t pos = 0;
    for (size_t line = 0; line < voxels; ++line) {
        int c[3] = {-1, -1, -1};
        bool ok = expect(text, pos, 'v');
        for (int& coordinate : c) {
            ok = ok && expect(text, pos, ' ');
            if (ok) coordinate = parseCoordinate(text, pos);
            ok = ok && coordinate >= 0;
        }
        ok = ok && expect(text, pos, '\n');
        if (!ok) {
            result.wellFormed = false;
            result.problem = pos >= text.size() ? "output ends at line " + std::to_string(line + 1) + " of " +
                                                      std::to_string(voxels)
                                                : "line " + std::to_string(line + 1) + " is not \"v X Y Z\"";
            return result;
        }
        // Line n belongs to voxel x = n / edge^2, y = (n / edge) % edge, z = n % edge.
        const size_t x = line / (size_t(edge) * edge), y = line / edge % edge, z = line % edge;
        result.labels[(z * edge + y) * edge + x] = (c[0] << 20) | (c[1] << 10) | c[2];
    }
    if (pos != text.size()) {
        result.wellFormed = false;
        result.problem = "text follows the last of the " + std::to_string(voxels) + " lines";
    }
    return result;
}

}  // namespace cvt::check
