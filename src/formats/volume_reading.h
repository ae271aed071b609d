// What the readers of every format share: the input file, the checks of a declared shape, and the
// samples read from a file into native byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "device/failure.h"
#include "volume_file.h"

namespace cvt::formats {

constexpr bool hostBigEndian = std::endian::native == std::endian::big;

[[noreturn]] inline void failAt(const std::string& path, const std::string& problem) {
    throw Failure(path + ": " + problem);
}

// A regular file opened for reading at offsets. Errors name its path.
class InputFile {
public:
    explicit InputFile(std::string path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }
    // Reads up to `bytes` at `offset`: fewer only at the end of the file.
    size_t readSome(uint64_t offset, void* into, size_t bytes) const;
    // Reads exactly `bytes` at `offset`, or fails saying that the file ends early.
    void read(uint64_t offset, void* into, size_t bytes) const;

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The shape whose sides a file declares as `sides`, x first when `xFirst`, else z first: 3 sides, or 2
// for an image (z = 1), each 1 .. maxSide, whose samples of any type can be addressed. Errors quote
// the sides in the file's order.
VolumeShape checkedShape(const std::string& path, const std::vector<uint64_t>& sides, bool xFirst, int maxSide);

// Makes a volume read from a file of 2 dimensions an image: its labels keep 2 axes, and its z spacing
// is planeSpacing's. Nothing for a file of 3.
void markImage(VolumeFile& volume, size_t dimensions);

size_t sampleCount(VolumeShape shape);
size_t volumeBytes(VolumeShape shape, SampleType type);

// Reverses the bytes of each of `count` samples of `bytes` bytes.
void swapSampleBytes(std::byte* samples, size_t count, size_t bytes);

// Converts volume.samples from the byte order that volume.bigEndian names to the host's.
void toNativeOrder(VolumeFile& volume);

// The planes z = begin .. end-1 of a volume.
struct PlaneRange {
    int begin = 0, end = 0;
};

// What a format's reader reads of a volume: all of it, only some planes (the volume it returns then
// has end - begin planes), or only the header, checked as for the whole volume, with no samples.
struct SampleSelection {
    enum class Kind { whole, planes, header };
    Kind kind = Kind::whole;
    PlaneRange planes;  // for Kind::planes
};

// The planes that a reader reads of `volume`, whose header it has read and checked: all of them, or the
// selected ones, whose count becomes volume.shape.z. Throws cvt::Failure naming `path` for a range that
// is empty or leaves the volume, and for planes of a file whose planes cannot be read alone
// (planesReadable).
PlaneRange selectPlanes(const std::string& path, const SampleSelection& selection, VolumeFile& volume);

// For a reader of samples stored uncompressed, x fastest, from `offset` in `file`, in the byte order
// that volume.bigEndian names: reads the selected planes into volume.samples, in native order, reading
// only their bytes. Errors name `path`, the file the user gave. The caller has checked the file's size.
void readSelectedSamples(const std::string& path, const InputFile& file, uint64_t offset, VolumeFile& volume,
                         const SampleSelection& selection);

// Replaces the samples by value * slope + intercept as float64 (computed in double).
void scaleSamples(VolumeFile& volume, double slope, double intercept);

// "<N> bytes" worded for messages about data sizes.
std::string bytesText(uint64_t bytes);

}  // namespace cvt::formats
