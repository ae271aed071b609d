// The reader of each format, which readVolume chooses between.
#pragma once

#include <string>

#include "volume_file.h"

namespace cvt::formats {

// The text after a path's last dot, in lower case; empty when the file name has no dot.
std::string lowercaseExtension(const std::string& path);

VolumeFile readNpy(const std::string& path, const ReadOptions& options);
VolumeFile readNrrd(const std::string& path, const ReadOptions& options);
VolumeFile readNifti(const std::string& path, const ReadOptions& options);
VolumeFile readTiff(const std::string& path, const ReadOptions& options);
VolumeFile readRaw(const std::string& path, const ReadOptions& options);

}  // namespace cvt::formats
