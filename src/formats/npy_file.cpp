// NumPy .npy files, format versions 1.0, 2.0 and 3.0: a magic string, a version, the length of the
// header, the header dict, then the array's bytes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "npy_header.h"
#include "volume_formats.h"
#include "volume_reading.h"
#include "volume_writing.h"

namespace cvt::formats {
namespace {

constexpr char magic[] = "\x93NUMPY";
constexpr size_t magicBytes = sizeof magic - 1;
// numpy itself refuses headers of more than 10000 bytes unless told otherwise.
constexpr uint64_t headerLimit = 1 << 16;

struct NpyType {
    const char* descr;
    SampleType type;
    bool bigEndian;
};

constexpr NpyType npyTypes[] = {
    {"|u1", SampleType::uint8, false},   {"|i1", SampleType::int8, false},    {"<u2", SampleType::uint16, false},  {">u2", SampleType::uint16, true},
    {"<i2", SampleType::int16, false},   {">i2", SampleType::int16, true},    {"<i4", SampleType::int32, false},
    {">i4", SampleType::int32, true},    {"<u4", SampleType::uint32, false},  {">u4", SampleType::uint32, true},
    {"<f4", SampleType::float32, false}, {">f4", SampleType::float32, true},  {"<f8", SampleType::float64, false},
    {">f8", SampleType::float64, true},
};

const char* littleEndianDescr(SampleType type) {
    for (const NpyType& entry : npyTypes)
        if (entry.type == type && !entry.bigEndian) return entry.descr;
    return nullptr;
}

}  // namespace

VolumeFile readNpy(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    const InputFile file(path);
    unsigned char preamble[magicBytes + 6];
    const size_t got = file.readSome(0, preamble, sizeof preamble);
    if (got < magicBytes + 2 || std::memcmp(preamble, magic, magicBytes) != 0)
        failAt(path, "not a .npy file: it does not begin with \\x93NUMPY");
    const unsigned major = preamble[magicBytes], minor = preamble[magicBytes + 1];
    if (major < 1 || major > 3 || minor != 0)
        failAt(path, "unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor));
    // Version 1.0 gives the header's length in 2 bytes, later versions in 4; little-endian either way.
    const size_t lengthBytes = major == 1 ? 2 : 4;
    const uint64_t headerStart = magicBytes + 2 + lengthBytes;
    if (got < headerStart) failAt(path, "the file ends inside the .npy preamble");
    uint64_t headerBytes = 0;
    for (size_t i = lengthBytes; i-- > 0;) headerBytes = headerBytes << 8 | preamble[magicBytes + 2 + i];
    if (headerBytes > file.size() - headerStart)
        failAt(path, "truncated header: it declares " + bytesText(headerBytes) + " but the file holds " +
                         bytesText(file.size() - headerStart) + " after the preamble");
    if (headerBytes > headerLimit)
        failAt(path, "header of " + bytesText(headerBytes) + " is longer than the limit of " + bytesText(headerLimit));
    std::string text(headerBytes, '\0');
    file.read(headerStart, text.data(), text.size());
    const NpyHeader header = parseNpyHeader(path, text);

    const NpyType* npyType = nullptr;
    for (const NpyType& entry : npyTypes)
        if (header.descr == entry.descr) npyType = &entry;
    if (npyType == nullptr) failAt(path, "unsupported dtype '" + header.descr + "'");

    VolumeFile volume;
    volume.format = FileFormat::npy;
    volume.type = npyType->type;
    volume.bigEndian = npyType->bigEndian;
    volume.fortranOrder = header.fortranOrder;
    // C order: the last index is fastest, so (nz, ny, nx). Fortran order: the first, so (nx, ny, nz).
    volume.shape = checkedShape(path, header.shape, header.fortranOrder, options.maxSide);
    markImage(volume, header.shape.size());
    const uint64_t dataStart = headerStart + headerBytes;
    const uint64_t declared = volumeBytes(volume.shape, volume.type);
    if (declared != file.size() - dataStart)
        failAt(path, "header declares " + bytesText(declared) + " of data but the file holds " +
                         std::to_string(file.size() - dataStart));
    readSelectedSamples(path, file, dataStart, volume, selection);
    return volume;
}

std::string npyHeaderBytes(SampleType type, VolumeShape shape, bool fortranOrder, int axes) {
    // Fortran order lists the fastest side first, C order last.
    std::vector<int> sides = axes == 2 ? std::vector<int>{shape.x, shape.y} : std::vector<int>{shape.x, shape.y, shape.z};
    if (!fortranOrder) std::reverse(sides.begin(), sides.end());
    std::string tuple;
    for (const int side : sides) tuple += (tuple.empty() ? "" : ", ") + std::to_string(side);
    std::string header = std::string("{'descr': '") + littleEndianDescr(type) +
                         "', 'fortran_order': " + (fortranOrder ? "True" : "False") + ", 'shape': (" + tuple + "), }";
    // Spaces and a newline end the header, so that the data starts at a multiple of 64 bytes.
    const size_t preambleBytes = magicBytes + 4;
    header.append(63 - (preambleBytes + header.size()) % 64, ' ');
    header += '\n';
    const char preamble[] = {magic[0], magic[1], magic[2], magic[3], magic[4], magic[5], 1, 0,
                             char(header.size() & 0xff), char(header.size() >> 8)};
    return std::string(preamble, sizeof preamble) + header;
}

void writeNpy(const std::string& path, const void* samples, SampleType type, VolumeShape shape, bool fortranOrder,
              int axes) {
    requireWritableShape(path, shape, axes);
    writeHeaderAndSamples(path, npyHeaderBytes(type, shape, fortranOrder, axes), samples, type, shape);
}

}  // namespace cvt::formats
