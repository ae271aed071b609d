// The reader of each format, which readVolume chooses between.
#pragma once

#include <string>

#include "volume_file.h"
#include "volume_reading.h"

namespace cvt::formats {

// The text after a path's last dot, in lower case; empty when the file name has no dot.
std::string lowercaseExtension(const std::string& path);

// The volume in the file at `path`, as much of it as `selection` says, by the reader of the format that
// options.format names, or else of the path's extension.
VolumeFile readSelection(const std::string& path, const ReadOptions& options, const SampleSelection& selection);

VolumeFile readNpy(const std::string& path, const ReadOptions& options, const SampleSelection& selection);
VolumeFile readNrrd(const std::string& path, const ReadOptions& options, const SampleSelection& selection);
VolumeFile readNifti(const std::string& path, const ReadOptions& options, const SampleSelection& selection);
VolumeFile readTiff(const std::string& path, const ReadOptions& options, const SampleSelection& selection);
VolumeFile readRaw(const std::string& path, const ReadOptions& options, const SampleSelection& selection);

// What writeVolume writes at a path, by its extension: .npy, .nrrd, .nii, or .nii.gz compressed. Throws
// cvt::Failure naming the path for any other extension.
enum class WrittenFormat { npy, nrrd, nifti, niftiGzip };
WrittenFormat writtenFormatOf(const std::string& path);

}  // namespace cvt::formats
