// What the writers of every format share.
#pragma once

#include <string>

#include "atomic_file.h"
#include "volume_file.h"

namespace cvt::formats {

// Throws cvt::Failure naming `path` unless every side is at least 1.
void requireWritableShape(const std::string& path, VolumeShape shape);

// Appends the samples of a volume of `shape`, given in native byte order, as little-endian bytes.
void writeLittleEndianSamples(AtomicFile& file, const void* samples, SampleType type, VolumeShape shape);

}  // namespace cvt::formats
