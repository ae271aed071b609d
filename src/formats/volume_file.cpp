// readVolume and writeVolume: the format by option or by extension.
#include "volume_file.h"

#include "volume_formats.h"
#include "volume_reading.h"

namespace cvt::formats {

VolumeFile readVolume(const std::string& path, const ReadOptions& options) {
    const std::optional<FileFormat> format = options.format ? options.format : formatOfPath(path);
    if (!format) failAt(path, "unknown volume file extension: expected .npy, .nrrd, .nhdr, .nii, .nii.gz, .tif, .tiff or .raw");
    switch (*format) {
        case FileFormat::npy: return readNpy(path, options);
        case FileFormat::nrrd: return readNrrd(path, options);
        case FileFormat::nifti: return readNifti(path, options);
        case FileFormat::tiff: return readTiff(path, options);
        case FileFormat::raw: return readRaw(path, options);
    }
    failAt(path, "unknown volume file format");
}

void writeVolume(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
                 bool fortranOrder, const VolumeGeometry& geometry, std::array<double, 3> spacing) {
    const std::string extension = lowercaseExtension(path);
    if (extension == "npy") {
        writeNpy(path, samples, type, shape, fortranOrder);
    } else if (extension == "nrrd") {
        writeNrrd(path, samples, type, shape, geometry);
    } else if (formatOfPath(path) == FileFormat::nifti) {
        writeNifti(path, samples, type, shape, geometry, spacing);
    } else {
        failAt(path, "volumes are written as .npy, .nrrd, .nii or .nii.gz, not with this extension");
    }
}

}  // namespace cvt::formats
