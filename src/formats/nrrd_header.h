// The text header of a NRRD file: a magic line "NRRD000N", then "field: value" lines, comments ("#")
// and key/value pairs ("key:=value"), up to a blank line or, in a detached header, the end.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volume_file.h"

namespace cvt::formats {

struct NrrdHeader {
    SampleType type = SampleType::uint8;
    std::vector<uint64_t> sizes;  // x first
    bool gzip = false;            // else raw
    std::optional<bool> bigEndian;
    std::array<double, 3> spacing{1, 1, 1};
    std::vector<std::string> geometryLines;  // the fields that place the volume in space, verbatim
    std::string dataFile;  // empty when the data follow the header
    int64_t byteSkip = 0;  // -1: the data end the file
};

// Throws cvt::Failure "<path>: ..." unless `text` begins with a NRRD magic line.
void requireNrrdMagic(const std::string& path, std::string_view text);

// Parses the header lines (without the blank line that ends them). Fields that do not change how the
// data are read are skipped; fields that would, unless supported, are errors, as is a missing type,
// dimension, sizes, encoding, or endian for samples of more than one byte. Throws cvt::Failure
// "<path>: ...".
NrrdHeader parseNrrdHeader(const std::string& path, std::string_view text);

// The type that a NRRD "type" field names, in any of its spellings ("ushort", "unsigned short",
// "uint16", ...), and the spelling that writers use.
std::optional<SampleType> nrrdTypeNamed(std::string_view name);
const char* nrrdTypeName(SampleType type);

}  // namespace cvt::formats
