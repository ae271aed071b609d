// readVolume and writeVolume: the format by option or by extension.
#include "volume_file.h"

#include "volume_formats.h"
#include "volume_reading.h"

namespace cvt::formats {

VolumeFile readSelection(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    const std::optional<FileFormat> format = options.format ? options.format : formatOfPath(path);
    if (!format) failAt(path, "unknown volume file extension: expected .npy, .nrrd, .nhdr, .nii, .nii.gz, .tif, .tiff or .raw");
    switch (*format) {
        case FileFormat::npy: return readNpy(path, options, selection);
        case FileFormat::nrrd: return readNrrd(path, options, selection);
        case FileFormat::nifti: return readNifti(path, options, selection);
        case FileFormat::tiff: return readTiff(path, options, selection);
        case FileFormat::raw: return readRaw(path, options, selection);
    }
    failAt(path, "unknown volume file format");
}

VolumeFile readVolume(const std::string& path, const ReadOptions& options) { return readSelection(path, options, {}); }

WrittenFormat writtenFormatOf(const std::string& path) {
    const std::string extension = lowercaseExtension(path);
    if (extension == "npy") return WrittenFormat::npy;
    if (extension == "nrrd") return WrittenFormat::nrrd;
    if (formatOfPath(path) == FileFormat::nifti)
        return extension == "gz" ? WrittenFormat::niftiGzip : WrittenFormat::nifti;
    failAt(path, "volumes are written as .npy, .nrrd, .nii or .nii.gz, not with this extension");
}

void writeVolume(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
                 bool fortranOrder, const VolumeGeometry& geometry, std::array<double, 3> spacing) {
    switch (writtenFormatOf(path)) {
        case WrittenFormat::npy: return writeNpy(path, samples, type, shape, fortranOrder, geometry.axes);
        case WrittenFormat::nrrd: return writeNrrd(path, samples, type, shape, geometry);
        case WrittenFormat::nifti:
        case WrittenFormat::niftiGzip: return writeNifti(path, samples, type, shape, geometry, spacing);
    }
}

}  // namespace cvt::formats
