// What the writers of every format share.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "atomic_file.h"
#include "volume_file.h"

namespace cvt::formats {

// Throws cvt::Failure naming `path` unless every side is at least 1, and an image (2 axes) has one plane.
void requireWritableShape(const std::string& path, VolumeShape shape, int axes = 3);

// Passes `bytes` of samples of `type`, given in native byte order, to `write` in order as little-endian
// bytes: as they lie on a little-endian host, else swapped a piece at a time, so that no copy of the
// whole volume is made. `write` receives the piece and its size.
void forEachLittleEndianPiece(const void* samples, SampleType type, size_t bytes,
                              const std::function<void(const void*, size_t)>& write);

// Writes `header`, then the samples of a volume of `shape`, given in native byte order, little-endian,
// through AtomicFile.
void writeHeaderAndSamples(const std::string& path, const std::string& header, const void* samples, SampleType type,
                           VolumeShape shape);

// The bytes that each writer puts before the samples; the samples follow at once.
std::string npyHeaderBytes(SampleType type, VolumeShape shape, bool fortranOrder, int axes = 3);
std::string nrrdHeaderBytes(SampleType type, VolumeShape shape, const VolumeGeometry& geometry);
// In native byte order, as the samples that writeNifti writes after it. Errors name `path`.
std::string niftiHeaderBytes(const std::string& path, SampleType type, VolumeShape shape,
                             const VolumeGeometry& geometry, std::array<double, 3> spacing);

}  // namespace cvt::formats
