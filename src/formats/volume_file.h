// Density and label volumes in files: NumPy .npy, NRRD (.nrrd, .nhdr), NIfTI-1 and NIfTI-2 (.nii,
// .nii.gz), multi-page TIFF and headerless raw samples. A volume has sides X, Y, Z with x the fastest-varying axis in memory: voxel (x, y, z) is
// sample x + X*(y + Y*z), the program's own order. Every error is a cvt::Failure of one line,
// "<path>: <problem>"; malformed files are refused before anything of their declared size is allocated.
// Included by benchmark sources that nvcc compiles: C++17 only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/grid_shape.h"

namespace cvt::formats {

enum class SampleType { uint8, int8, uint16, int16, int32, uint32, float32, float64 };
const char* sampleTypeName(SampleType);                        // "uint8", ..., "float64"
std::optional<SampleType> sampleTypeNamed(std::string_view);  // the inverse of sampleTypeName
size_t sampleBytes(SampleType);

enum class FileFormat { npy, nrrd, nifti, tiff, raw };
const char* formatName(FileFormat);                            // "npy", "nrrd", "nifti", "tiff", "raw"
std::optional<FileFormat> formatNamed(std::string_view);       // the inverse of formatName
// By the extension, in any letter case: .npy, .nrrd and .nhdr, .nii and .nii.gz, .tif and .tiff, .raw.
std::optional<FileFormat> formatOfPath(const std::string& path);

struct VolumeShape {
    int x = 0, y = 0, z = 0;  // x fastest
};

// The shape of a volume that fills a box.
constexpr VolumeShape shapeOf(GridBox box) { return VolumeShape{box.x, box.y, box.z}; }

// Where a NIfTI volume lies in the world: its qform and sform, voxel sizes and units, as the header
// gives them, so that labels written as NIfTI overlay the scan they were computed from.
struct NiftiGeometry {
    int qformCode = 0, sformCode = 0;
    std::array<double, 3> quatern{0, 0, 0};  // b, c, d
    std::array<double, 3> qoffset{0, 0, 0};
    double qfac = 1;
    std::array<double, 3> pixdim{1, 1, 1};
    std::array<std::array<double, 4>, 4> sform{};  // voxel (i, j, k, 1) to world, row by row
    int spaceUnits = 0, timeUnits = 0;
};

// The geometry a label file of the same format carries over from the density file.
struct VolumeGeometry {
    // 2 for an image: a 2-D file, read as one plane (z = 1), whose labels are written with its 2 axes.
    int axes = 3;
    std::optional<NiftiGeometry> nifti;
    // NRRD: the header lines that place the volume in space ("space", "space directions", "space
    // origin", "space units", "spacings", ...), verbatim.
    std::vector<std::string> nrrdLines;
};

// A volume as stored: samples converted to native byte order, x fastest, plus what the file said.
struct VolumeFile {
    VolumeShape shape;
    SampleType type = SampleType::uint8;
    std::vector<std::byte> samples;  // shape.x*shape.y*shape.z samples of `type`, native byte order
    FileFormat format = FileFormat::raw;
    bool bigEndian = false;     // as stored in the file
    bool fortranOrder = false;  // .npy only: the shape was (X, Y, Z) in Fortran order, not (Z, Y, X)
    std::array<double, 3> spacing{1, 1, 1};  // NRRD "spacings", or the lengths of its "space directions"
    std::string encoding = "raw";            // NRRD and NIfTI: "raw" or "gzip"; others: "raw"
    VolumeGeometry geometry;
};

struct ReadOptions {
    std::optional<FileFormat> format;     // overrides the extension
    std::optional<VolumeShape> rawShape;  // required for raw
    std::optional<SampleType> rawType;    // required for raw
    int maxSide = maxGridSide;            // every side must be 1 .. maxSide
};

// Reads a whole volume. A file of 2 dimensions is an image, read as one plane (geometry.axes 2, z
// spacing planeSpacing's). Files of more than 3 dimensions or fewer than 2, a side outside 1 ..
// maxSide, sample types other than SampleType's and data of another size than declared are errors.
VolumeFile readVolume(const std::string& path, const ReadOptions& options = {});

// How sample values become densities: unchanged, or through an intensity window (clipped to
// [low, high], then shifted so that low becomes 0), or with every value below a threshold set to 0.
struct DensityMapping {
    std::optional<std::array<double, 2>> window;
    std::optional<double> clipBelow;
    // Said after the message about a negative value that no mapping took care of.
    std::string negativeHint;
};

// Samples of one type, in native byte order, anywhere in memory: voxel (x, y, z) lies at
// data + x*strides[0] + y*strides[1] + z*strides[2] bytes. Strides may be negative or zero, so that a
// caller's array view is read as it lies, without a copy.
struct SampleView {
    const std::byte* data = nullptr;
    SampleType type = SampleType::float32;
    VolumeShape shape;
    std::array<int64_t, 3> strides{};
};

// The view of samples stored x fastest, one after another.
SampleView contiguousView(const void* samples, SampleType type, VolumeShape shape);
// Whether the view's samples are float32 stored x fastest, one after another: the density as the program
// uses it, without a conversion.
bool isContiguousFloat(const SampleView& view);

// How messages name a voxel and a box: as cvt-volume does, x first, "(x, y, z)" and "48 x 40 x 32 box";
// for callers whose arrays are indexed with the slowest axis first, "[z, y, x]" and "(32, 40, 48) array";
// for an image, an array of one plane seen as 2-D, "[y, x]" and "(40, 48) image".
enum class VoxelNaming { xyz, arrayIndex, imageIndex };
std::string voxelName(int x, int y, int z, VoxelNaming naming);
// The sides alone: "48 x 40 x 32", "(32, 40, 48)" or "(40, 48)".
std::string sidesName(VolumeShape shape, VoxelNaming naming);
std::string boxName(VolumeShape shape, VoxelNaming naming);

// Which part of a volume a view holds: its planes are planes firstPlane.. of the volume, which holds
// more than them unless `whole`.
struct ViewedPart {
    int firstPlane = 0;
    bool whole = true;
};

// The samples as float density, x fastest, mapped. Every value must be finite, and after the mapping
// >= 0 and within float range, and not all may be zero (unless the view holds only part of the volume);
// an error (cvt::InvalidInput, "<source>: <problem>") names the first offending voxel, by its plane in
// the volume, and its value.
std::vector<float> densityValues(const SampleView& view, const std::string& source,
                                 VoxelNaming naming = VoxelNaming::xyz, const DensityMapping& mapping = {},
                                 ViewedPart part = {});
std::vector<float> densityValues(const VolumeFile& volume, const std::string& path, const DensityMapping& mapping = {});
// The values of some planes of a volume, from firstPlane on (as readVolumePlanes reads them), mapped and
// checked as densityValues does, voxels named in the whole volume, except that they may all be zero:
// whether every value of the volume is zero is for the caller to say, through requireNonZeroDensity.
std::vector<float> slabDensityValues(const VolumeFile& slab, const std::string& path, const DensityMapping& mapping,
                                     int firstPlane);
void requireNonZeroDensity(bool nonZero, const std::string& source, const DensityMapping& mapping);
// The same checks, unmapped, for samples that are used as they lie (see isContiguousFloat).
void requireDensity(const SampleView& view, const std::string& source, VoxelNaming naming = VoxelNaming::xyz,
                    ViewedPart part = {});
// The samples as labels: unsigned integer types only, else an error.
std::vector<uint32_t> labelValues(const VolumeFile& volume, const std::string& path);

// Marks each sample that is not zero with 1 and each zero with 0, at `marks` (one per sample, x fastest).
// For masks.
void markNonZero(const SampleView& view, uint8_t* marks);
void markNonZero(const VolumeFile& volume, uint8_t* marks);

// Writers: little-endian samples given x fastest, written through AtomicFile, so that a failure
// leaves no file behind. writeNpy stores shape (X, Y, Z) in Fortran order when fortranOrder is set,
// else shape (Z, Y, X) in C order: both describe the same bytes; with 2 axes (X, Y) or (Y, X). Every
// writer writes an image (geometry.axes 2, one plane) with its 2 axes.
void writeNpy(const std::string& path, const void* samples, SampleType type, VolumeShape shape, bool fortranOrder,
              int axes = 3);
// NRRD with its data attached, raw encoding, with the geometry's NRRD lines.
void writeNrrd(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
               const VolumeGeometry& geometry = {});
// NIfTI-1, one file, gzip-compressed when the path ends in .gz; with the geometry's NIfTI placement, or
// else the identity with voxel sizes `spacing`.
void writeNifti(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
                const VolumeGeometry& geometry, std::array<double, 3> spacing);
// .npy, .nrrd, .nii or .nii.gz by the path's extension; any other extension is an error. fortranOrder is
// for .npy; the geometry and spacing for the formats that hold them.
void writeVolume(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
                 bool fortranOrder, const VolumeGeometry& geometry = {}, std::array<double, 3> spacing = {1, 1, 1});

}  // namespace cvt::formats
