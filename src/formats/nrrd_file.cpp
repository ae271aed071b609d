// NRRD files: a text header, then the data (attached), or a header naming a data file (detached,
// usually .nhdr). Raw or gzip-compressed samples, x first.
#include <algorithm>
#include <memory>

#include "gzip_data.h"
#include "large_buffer.h"
#include "nrrd_header.h"
#include "volume_formats.h"
#include "volume_reading.h"
#include "volume_writing.h"

namespace cvt::formats {
namespace {

// Headers are short: a blank line must end one within this many bytes, or the file must end.
constexpr size_t headerLimit = size_t(1) << 20;

// A detached data file's path: relative ones are relative to the header's directory.
std::string dataPathBeside(const std::string& headerPath, const std::string& dataFile) {
    const size_t slash = headerPath.rfind('/');
    if (dataFile[0] == '/' || slash == std::string::npos) return dataFile;
    return headerPath.substr(0, slash + 1) + dataFile;
}

// Opens a detached data file; failures name the header, the file the user gave, then the data file.
std::unique_ptr<InputFile> openDataFile(const std::string& headerPath, const std::string& dataFile) {
    try {
        return std::make_unique<InputFile>(dataPathBeside(headerPath, dataFile));
    } catch (const Failure& failure) {
        failAt(headerPath, std::string("data file ") + failure.what());
    }
}

void readData(const std::string& path, const NrrdHeader& header, const InputFile& source, uint64_t offset,
              VolumeFile& volume, const SampleSelection& selection) {
    const std::string holder = source.path() == path ? "the file" : "data file " + source.path();
    const uint64_t declared = volumeBytes(volume.shape, volume.type);
    // Readers differ on whether a byte skip counts compressed or inflated bytes; none is safest.
    if (header.gzip && header.byteSkip != 0) failAt(path, "byte skip with gzip encoding is not supported");
    if (header.byteSkip == -1) {
        if (declared > source.size())
            failAt(path, "header declares " + bytesText(declared) + " of data but " + holder + " holds " +
                             std::to_string(source.size()));
        offset = source.size() - declared;
    } else if (uint64_t(header.byteSkip) > source.size() - offset) {
        failAt(path, "byte skip " + std::to_string(header.byteSkip) + " goes past the end of " + holder);
    } else {
        offset += uint64_t(header.byteSkip);
    }
    const uint64_t held = source.size() - offset;
    if (!header.gzip) {
        if (held != declared)
            failAt(path, "header declares " + bytesText(declared) + " of data but " + holder + " holds " +
                             std::to_string(held));
        readSelectedSamples(path, source, offset, volume, selection);
        return;
    }
    if (declared > mostInflatedBytes(held))
        failAt(path, "header declares " + bytesText(declared) + " of data, more than the " + bytesText(held) +
                         " of gzip data in " + holder + " can hold");
    if (selection.kind == SampleSelection::Kind::header) return;
    selectPlanes(path, selection, volume);  // refuses planes: the stream inflates only from its start
    resizeLarge(volume.samples, declared);
    inflateExactly(source, offset, volume.samples.data(), volume.samples.size(), path);
    toNativeOrder(volume);
}

}  // namespace

VolumeFile readNrrd(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    const InputFile file(path);
    std::string start(std::min<uint64_t>(file.size(), headerLimit), '\0');
    file.read(0, start.data(), start.size());
    requireNrrdMagic(path, start);
    // The header ends at the first blank line; without one, at the end of a (detached) header file.
    size_t headerEnd = start.size(), dataStart = start.size();
    bool blankLine = false;
    for (const std::string_view blank : {"\n\n", "\n\r\n"}) {
        const size_t at = start.find(blank);
        if (at != std::string::npos && at < headerEnd) {
            headerEnd = at + 1;
            dataStart = at + blank.size();
            blankLine = true;
        }
    }
    if (!blankLine && file.size() > headerLimit)
        failAt(path, "no blank line ends the header within its first " + bytesText(headerLimit));
    const NrrdHeader header = parseNrrdHeader(path, std::string_view(start).substr(0, headerEnd));

    VolumeFile volume;
    volume.format = FileFormat::nrrd;
    volume.type = header.type;
    volume.bigEndian = header.bigEndian.value_or(false);
    volume.spacing = header.spacing;
    volume.geometry.nrrdLines = header.geometryLines;
    volume.encoding = header.gzip ? "gzip" : "raw";
    volume.shape = checkedShape(path, header.sizes, true, options.maxSide);
    markImage(volume, header.sizes.size());
    if (!header.dataFile.empty()) {
        readData(path, header, *openDataFile(path, header.dataFile), 0, volume, selection);
    } else if (blankLine) {
        readData(path, header, file, dataStart, volume, selection);
    } else {
        failAt(path, "the header names no data file and no blank line separates it from data");
    }
    return volume;
}

std::string nrrdHeaderBytes(SampleType type, VolumeShape shape, const VolumeGeometry& geometry) {
    const bool image = geometry.axes == 2;
    std::string header = std::string("NRRD0004\n") + "type: " + nrrdTypeName(type) + "\ndimension: " +
                         (image ? "2" : "3") + "\nsizes: " + std::to_string(shape.x) + " " + std::to_string(shape.y) +
                         (image ? "" : " " + std::to_string(shape.z)) + "\nencoding: raw\n";
    if (sampleBytes(type) > 1) header += "endian: little\n";
    for (const std::string& line : geometry.nrrdLines) header += line + "\n";
    return header + "\n";
}

void writeNrrd(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
               const VolumeGeometry& geometry) {
    requireWritableShape(path, shape, geometry.axes);
    writeHeaderAndSamples(path, nrrdHeaderBytes(type, shape, geometry), samples, type, shape);
}

}  // namespace cvt::formats
