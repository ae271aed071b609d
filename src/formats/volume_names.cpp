// The names of sample types and file formats, as options and messages spell them.
#include <algorithm>
#include <cctype>

#include "volume_formats.h"

namespace cvt::formats {
namespace {

constexpr SampleType sampleTypes[] = {SampleType::uint8, SampleType::int8,   SampleType::uint16,  SampleType::int16,
                                      SampleType::int32, SampleType::uint32, SampleType::float32, SampleType::float64};
constexpr FileFormat fileFormats[] = {FileFormat::npy, FileFormat::nrrd, FileFormat::nifti, FileFormat::tiff,
                                      FileFormat::raw};

template <class Enum, size_t count>
std::optional<Enum> named(const Enum (&values)[count], const char* (*nameOf)(Enum), std::string_view name) {
    for (const Enum value : values)
        if (name == nameOf(value)) return value;
    return std::nullopt;
}

}  // namespace

const char* sampleTypeName(SampleType type) {
    switch (type) {
        case SampleType::uint8: return "uint8";
        case SampleType::int8: return "int8";
        case SampleType::uint16: return "uint16";
        case SampleType::int16: return "int16";
        case SampleType::int32: return "int32";
        case SampleType::uint32: return "uint32";
        case SampleType::float32: return "float32";
        case SampleType::float64: return "float64";
    }
    return "unknown";
}

std::optional<SampleType> sampleTypeNamed(std::string_view name) { return named(sampleTypes, sampleTypeName, name); }

size_t sampleBytes(SampleType type) {
    switch (type) {
        case SampleType::uint8:
        case SampleType::int8: return 1;
        case SampleType::uint16:
        case SampleType::int16: return 2;
        case SampleType::int32:
        case SampleType::uint32:
        case SampleType::float32: return 4;
        case SampleType::float64: return 8;
    }
    return 0;
}

const char* formatName(FileFormat format) {
    switch (format) {
        case FileFormat::npy: return "npy";
        case FileFormat::nrrd: return "nrrd";
        case FileFormat::nifti: return "nifti";
        case FileFormat::tiff: return "tiff";
        case FileFormat::raw: return "raw";
    }
    return "unknown";
}

std::optional<FileFormat> formatNamed(std::string_view name) { return named(fileFormats, formatName, name); }

std::string lowercaseExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return {};
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

std::optional<FileFormat> formatOfPath(const std::string& path) {
    const std::string extension = lowercaseExtension(path);
    if (extension == "npy") return FileFormat::npy;
    if (extension == "nrrd" || extension == "nhdr") return FileFormat::nrrd;
    if (extension == "tif" || extension == "tiff") return FileFormat::tiff;
    if (extension == "raw") return FileFormat::raw;
    if (extension == "nii" || (extension == "gz" && lowercaseExtension(path.substr(0, path.size() - 3)) == "nii"))
        return FileFormat::nifti;
    return std::nullopt;
}

}  // namespace cvt::formats
