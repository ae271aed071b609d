// Volumes a slab at a time, for runs in which each process holds the whole z planes [zBegin, zEnd):
// headers read without the samples, the planes of a slab read on their own where a file stores them
// apart, and label files written by several processes at once, each its planes at their offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "volume_file.h"

namespace cvt::formats {

// What readVolume gives, with `samples` empty: the header read and checked as readVolume checks it
// (against the file's size too), without reading or allocating the samples.
VolumeFile readVolumeHeader(const std::string& path, const ReadOptions& options = {});

// Whether the file that `header` describes stores each z plane apart, so that readVolumePlanes can read
// a slab alone: .npy, raw, raw-encoded NRRD and NIfTI, and TIFF (a page per plane, each decoded alone).
// Gzip-compressed NRRD and NIfTI hold one stream that only the whole volume can be read from.
bool planesReadable(const VolumeFile& header);

// The planes zBegin .. zEnd-1 of the volume: readVolume's result for them, shape.z = zEnd - zBegin,
// reading only their bytes. Throws cvt::Failure for an empty range or one outside 0 .. Z, and for a file
// whose planes are not readable alone.
VolumeFile readVolumePlanes(const std::string& path, const ReadOptions& options, int zBegin, int zEnd);

// A label file that several writers fill at once: the header that writeVolume writes first, then the
// samples, little-endian and x fastest, from byte dataOffset, plane after plane.
struct PlaneWritableLayout {
    std::string header;
    uint64_t dataOffset = 0;  // header.size()
};

// The layout of the file that writeVolume would write at `path` with these arguments, when it stores
// the samples uncompressed after a header (.npy, .nrrd, and .nii on a little-endian host); std::nullopt
// when it compresses them (.nii.gz). Throws writeVolume's cvt::Failure for a path or shape it refuses.
std::optional<PlaneWritableLayout> planeWritableLayout(const std::string& path, SampleType type, VolumeShape shape,
                                                       bool fortranOrder, const VolumeGeometry& geometry = {},
                                                       const std::array<double, 3>& spacing = {1, 1, 1});

// Writes `bytes` of samples of `type`, given in native byte order, little-endian at `offset` in the
// existing file at `path`, and syncs them to disk. Throws cvt::Failure naming the path.
void writePlanesAt(const std::string& path, uint64_t offset, const void* samples, SampleType type, size_t bytes);

}  // namespace cvt::formats
