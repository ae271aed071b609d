#include "volume_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/axis_spacing.h"
#include "large_buffer.h"
#include "volume_slabs.h"

namespace cvt::formats {

InputFile::InputFile(std::string path) : path_(std::move(path)) {
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) failAt(path_, std::string("cannot open: ") + std::strerror(errno));
    struct stat status {};
    if (fstat(fd_, &status) != 0) {
        const int error = errno;
        close(fd_);
        failAt(path_, std::string("cannot read: ") + std::strerror(error));
    }
    if (!S_ISREG(status.st_mode)) {
        close(fd_);
        failAt(path_, S_ISDIR(status.st_mode) ? "is a directory" : "is not a regular file");
    }
    size_ = uint64_t(status.st_size);
}

InputFile::~InputFile() { close(fd_); }

size_t InputFile::readSome(uint64_t offset, void* into, size_t bytes) const {
    size_t done = 0;
    while (done < bytes) {
        // Linux transfers at most about 2 GiB per call.
        const size_t chunk = std::min<size_t>(bytes - done, size_t(1) << 30);
        const ssize_t got = pread(fd_, static_cast<char*>(into) + done, chunk, off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failAt(path_, std::string("cannot read: ") + std::strerror(errno));
        if (got == 0) break;
        done += size_t(got);
    }
    return done;
}

void InputFile::read(uint64_t offset, void* into, size_t bytes) const {
    if (readSome(offset, into, bytes) != bytes)
        failAt(path_, "the file ends before byte " + std::to_string(offset + bytes));
}

VolumeShape checkedShape(const std::string& path, const std::vector<uint64_t>& sides, bool xFirst, int maxSide) {
    std::string quoted = "(";
    for (size_t i = 0; i < sides.size(); ++i) quoted += (i ? ", " : "") + std::to_string(sides[i]);
    quoted += sides.size() == 1 ? ",)" : ")";
    if (sides.size() != 2 && sides.size() != 3)
        failAt(path, "shape " + quoted + " has " + std::to_string(sides.size()) +
                         " dimensions; an image has 2, a volume 3");
    uint64_t bytes = sizeof(double);  // the widest sample type
    for (const uint64_t side : sides) {
        if (side == 0) failAt(path, "shape " + quoted + " has a side of 0");
        if (side > uint64_t(std::max(maxSide, 0)))
            failAt(path, "shape " + quoted + " has a side of " + std::to_string(side) + ", above the limit of " +
                             std::to_string(maxSide));
        if (__builtin_mul_overflow(bytes, side, &bytes) || bytes > uint64_t(PTRDIFF_MAX))
            failAt(path, "shape " + quoted + " has more samples than memory can address");
    }
    if (sides.size() == 2)
        return xFirst ? VolumeShape{int(sides[0]), int(sides[1]), 1} : VolumeShape{int(sides[1]), int(sides[0]), 1};
    if (xFirst) return {int(sides[0]), int(sides[1]), int(sides[2])};
    return {int(sides[2]), int(sides[1]), int(sides[0])};
}

void markImage(VolumeFile& volume, size_t dimensions) {
    if (dimensions != 2) return;
    volume.geometry.axes = 2;
    volume.spacing = planeSpacing(volume.spacing[0], volume.spacing[1]);
}

size_t sampleCount(VolumeShape shape) { return size_t(shape.x) * size_t(shape.y) * size_t(shape.z); }

size_t volumeBytes(VolumeShape shape, SampleType type) { return sampleCount(shape) * sampleBytes(type); }

namespace {
template <class Word>
void swapWords(std::byte* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        Word word;
        std::memcpy(&word, samples + i * sizeof(Word), sizeof(Word));
        if constexpr (sizeof(Word) == 2) word = __builtin_bswap16(word);
        if constexpr (sizeof(Word) == 4) word = __builtin_bswap32(word);
        if constexpr (sizeof(Word) == 8) word = __builtin_bswap64(word);
        std::memcpy(samples + i * sizeof(Word), &word, sizeof(Word));
    }
}
}  // namespace

void swapSampleBytes(std::byte* samples, size_t count, size_t bytes) {
    switch (bytes) {
        case 2: return swapWords<uint16_t>(samples, count);
        case 4: return swapWords<uint32_t>(samples, count);
        case 8: return swapWords<uint64_t>(samples, count);
    }
}

void toNativeOrder(VolumeFile& volume) {
    if (volume.bigEndian != hostBigEndian)
        swapSampleBytes(volume.samples.data(), volume.samples.size() / sampleBytes(volume.type), sampleBytes(volume.type));
}

PlaneRange selectPlanes(const std::string& path, const SampleSelection& selection, VolumeFile& volume) {
    if (selection.kind != SampleSelection::Kind::planes) return {0, volume.shape.z};
    const PlaneRange planes = selection.planes;
    if (planes.begin < 0 || planes.begin >= planes.end || planes.end > volume.shape.z)
        failAt(path, "planes " + std::to_string(planes.begin) + " to " + std::to_string(planes.end) +
                         " (end excluded) are not a range of the volume's " + std::to_string(volume.shape.z) +
                         " planes");
    if (!planesReadable(volume))
        failAt(path, "the " + volume.encoding + "-encoded samples cannot be read a plane at a time");
    volume.shape.z = planes.end - planes.begin;
    return planes;
}

void readSelectedSamples(const std::string& path, const InputFile& file, uint64_t offset, VolumeFile& volume,
                         const SampleSelection& selection) {
    if (selection.kind == SampleSelection::Kind::header) return;
    const size_t planeBytes = size_t(volume.shape.x) * size_t(volume.shape.y) * sampleBytes(volume.type);
    const PlaneRange planes = selectPlanes(path, selection, volume);
    resizeLarge(volume.samples, volumeBytes(volume.shape, volume.type));
    file.read(offset + uint64_t(planes.begin) * planeBytes, volume.samples.data(), volume.samples.size());
    toNativeOrder(volume);
}

std::string bytesText(uint64_t bytes) { return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"); }

}  // namespace cvt::formats
