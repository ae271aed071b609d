// PNG output of an 8-bit RGB picture, written through AtomicFile: the file appears completely or not
// at all. Takes the bare pixel bytes, so that the formats library depends on no picture type.
#pragma once

#include <cstdint>
#include <string>

namespace cvt::formats {

// `rgb` holds width x height pixels of 3 bytes, rows top first, without padding. Compresses for speed
// rather than size. Throws cvt::Failure naming `path` when the picture cannot be encoded or written.
void writePng(const std::string& path, int width, int height, const uint8_t* rgb);

}  // namespace cvt::formats
