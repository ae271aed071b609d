#include "volume_slabs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "volume_formats.h"
#include "volume_reading.h"
#include "volume_writing.h"

namespace cvt::formats {
namespace {

// An existing file opened for writing at offsets, closed however the writing ends.
class FileForWriting {
public:
    explicit FileForWriting(const std::string& path) : path_(path) {
        fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) fail("cannot open for writing");
    }
    ~FileForWriting() {
        if (fd_ >= 0) close(fd_);
    }
    FileForWriting(const FileForWriting&) = delete;
    FileForWriting& operator=(const FileForWriting&) = delete;

    void writeAt(uint64_t offset, const void* data, size_t bytes) const {
        for (size_t done = 0; done < bytes;) {
            // Linux transfers at most about 2 GiB per call.
            const size_t chunk = std::min<size_t>(bytes - done, size_t(1) << 30);
            const ssize_t written = pwrite(fd_, static_cast<const char*>(data) + done, chunk, off_t(offset + done));
            if (written < 0 && errno == EINTR) continue;
            if (written == 0) errno = ENOSPC;
            if (written <= 0) fail("writing failed");
            done += size_t(written);
        }
    }

    // Syncs and closes: a failure here may be the first that the disk reports.
    void finish() {
        const bool synced = fsync(fd_) == 0;
        const int error = errno;
        const bool closed = close(fd_) == 0;
        fd_ = -1;
        if (!synced) errno = error;
        if (!synced || !closed) fail("writing failed");
    }

private:
    [[noreturn]] void fail(const std::string& what) const { failAt(path_, what + ": " + std::strerror(errno)); }

    const std::string& path_;
    int fd_ = -1;
};

}  // namespace

VolumeFile readVolumeHeader(const std::string& path, const ReadOptions& options) {
    return readSelection(path, options, {SampleSelection::Kind::header, {}});
}

bool planesReadable(const VolumeFile& header) {
    switch (header.format) {
        case FileFormat::npy:
        case FileFormat::raw:
        case FileFormat::tiff: return true;
        case FileFormat::nrrd:
        case FileFormat::nifti: return header.encoding == "raw";
    }
    return false;
}

VolumeFile readVolumePlanes(const std::string& path, const ReadOptions& options, int zBegin, int zEnd) {
    return readSelection(path, options, {SampleSelection::Kind::planes, {zBegin, zEnd}});
}

std::optional<PlaneWritableLayout> planeWritableLayout(const std::string& path, SampleType type, VolumeShape shape,
                                                       bool fortranOrder, const VolumeGeometry& geometry,
                                                       const std::array<double, 3>& spacing) {
    const WrittenFormat format = writtenFormatOf(path);
    requireWritableShape(path, shape, geometry.axes);
    std::string header;
    switch (format) {
        case WrittenFormat::npy: header = npyHeaderBytes(type, shape, fortranOrder, geometry.axes); break;
        case WrittenFormat::nrrd: header = nrrdHeaderBytes(type, shape, geometry); break;
        case WrittenFormat::nifti:
            // NIfTI is written in the host's byte order; planes are written little-endian.
            if (hostBigEndian) return std::nullopt;
            header = niftiHeaderBytes(path, type, shape, geometry, spacing);
            break;
        case WrittenFormat::niftiGzip: return std::nullopt;
    }
    return PlaneWritableLayout{header, header.size()};
}

void writePlanesAt(const std::string& path, uint64_t offset, const void* samples, SampleType type, size_t bytes) {
    if (bytes % sampleBytes(type) != 0)
        failAt(path, "cannot write " + bytesText(bytes) + " as samples of " + sampleTypeName(type));
    FileForWriting file(path);
    forEachLittleEndianPiece(samples, type, bytes, [&file, &offset](const void* piece, size_t size) {
        file.writeAt(offset, piece, size);
        offset += size;
    });
    file.finish();
}

}  // namespace cvt::formats
