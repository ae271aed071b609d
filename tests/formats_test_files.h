// Volumes and files for the format tests: samples of every type, and files of every format written by
// hand in either byte order and layout (the library's writers only write little-endian .npy and NRRD).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/failure.h"
#include "formats/volume_file.h"

namespace cvt::formats::testing {

inline constexpr SampleType allSampleTypes[] = {SampleType::uint8,  SampleType::int8,   SampleType::uint16,
                                                SampleType::int16,  SampleType::int32,  SampleType::uint32,
                                                SampleType::float32, SampleType::float64};

struct TestVolume {
    VolumeShape shape;
    SampleType type;
    std::vector<std::byte> samples;  // native byte order, x fastest
};

// The value of sample `index` in a pattern volume: non-negative, exact in every type it is made for,
// and spread over all of the type's bytes.
double patternValue(SampleType type, size_t index);
TestVolume patternVolume(SampleType type, VolumeShape shape);
// Stores `value`, converted to `type`, as sample `index`.
void setSample(TestVolume& volume, size_t index, double value);

// The samples' bytes in the given byte order.
std::string samplesInOrder(const TestVolume& volume, bool bigEndian);

// A whole .npy file of the volume: shape (Z, Y, X) in C order, or (X, Y, Z) in Fortran order.
std::string npyFile(const TestVolume& volume, bool bigEndian, bool fortranOrder, int version = 1);
// A .npy file of the given header dict and data bytes, padded as numpy pads.
std::string npyFileWithHeader(std::string dict, const std::string& data, int version = 1);

// NRRD header lines up to, not including, the blank line; type spellings other than the writer's.
std::string nrrdHeader(const TestVolume& volume, bool bigEndian, bool gzip);
std::string gzipped(const std::string& bytes);

// What a hand-made NIfTI file says beyond its volume.
struct NiftiEdits {
    int version = 1;
    std::vector<int64_t> dims;  // dim[0..]; empty: 3 and the volume's sides
    int datatype = 0;           // 0: the volume's type
    double slope = 0, intercept = 0;
    int64_t extraData = 0;      // bytes of data beyond (or, negative, short of) what the dims declare
};
// A single-file NIfTI of the volume in native byte order, placed with voxel sizes 0.5, 0.75, 2.5 and an
// sform (code 2) with offsets 3, 5, -7.
std::string niftiFile(const TestVolume& volume, const NiftiEdits& edits);

struct TiffLayout {
    bool bigEndian = false;
    bool tiled = false;        // 16x16 tiles, else strips of 3 rows
    int compression = 1;       // a libtiff COMPRESSION_* value; 1 is none
    int samplesPerPixel = 1;   // more writes the same sample to each
};
// A multi-page TIFF of the volumes' pages one after the other (volumes of different shapes or types
// make a file of mismatched pages). Signed types are written as signed samples.
void writeTiff(const std::string& path, const std::vector<TestVolume>& volumes, const TiffLayout& layout);

// A new directory under /tmp, removed with everything in it.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::string path(const std::string& name) const { return directory_ + "/" + name; }
    // Writes the file and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string directory_;
};

// While one exists, operator new throws std::bad_alloc for more than `bytes`: a reader that allocates
// what a malformed header declares, before checking it against the file, fails the test.
class AllocationCeiling {
public:
    explicit AllocationCeiling(size_t bytes);
    ~AllocationCeiling();
    AllocationCeiling(const AllocationCeiling&) = delete;
    AllocationCeiling& operator=(const AllocationCeiling&) = delete;
};

// The message of the cvt::Failure that f throws, or "" when it returns.
std::string failureOf(const std::function<void()>& f);

}  // namespace cvt::formats::testing
