#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "device/failure.h"

namespace cvt::formats {
namespace {

constexpr size_t bufferLimit = size_t(1) << 22;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw Failure(path + ": " + what + ": " + std::strerror(errno));
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens a new, uniquely named file beside `path` (mkstemp), returning its descriptor and name.
int createBeside(const std::string& path, std::string& temporaryPath) {
    const size_t slash = path.rfind('/');
    const size_t cut = slash == std::string::npos ? 0 : slash + 1;
    std::string name = path.substr(0, cut) + "." + path.substr(cut) + ".partial-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) fail(path, "cannot create a file in " + directoryOf(path));
    // mkstemp makes the file private; the result gets the permissions a plain creation would give.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temporaryPath = std::move(name);
    return fd;
}

void refuseDirectory(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        fail(path, "cannot write the output");
    }
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    refuseDirectory(path_);
    fd_ = createBeside(path_, temporaryPath_);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::write(const void* data, size_t bytes) {
    if (fd_ < 0) throw Failure(path_ + ": write after the file was closed");
    if (buffer_.size() + bytes > bufferLimit) flush();
    // Large blocks go straight to the file: copying a whole volume into the buffer would cost more
    // than writing it.
    if (bytes >= bufferLimit) {
        writeThrough(static_cast<const char*>(data), bytes);
        return;
    }
    buffer_.append(static_cast<const char*>(data), bytes);
}

void AtomicFile::flush() {
    writeThrough(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void AtomicFile::writeThrough(const char* data, size_t left) {
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            const int error = errno;
            discard();
            errno = error;
            fail(path_, "writing failed");
        }
        data += written;
        left -= size_t(written);
    }
}

void AtomicFile::extendTo(uint64_t size) {
    flush();
    if (ftruncate(fd_, off_t(size)) != 0) {
        const int error = errno;
        discard();
        errno = error;
        fail(path_, "cannot make room for the output");
    }
}

void AtomicFile::commit() {
    flush();
    if (fsync(fd_) != 0 || close(fd_) != 0) {
        const int error = errno;
        fd_ = -1;
        discard();
        errno = error;
        fail(path_, "writing failed");
    }
    fd_ = -1;
    if (rename(temporaryPath_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        discard();
        errno = error;
        fail(path_, "cannot replace the file");
    }
    temporaryPath_.clear();
}

void AtomicFile::discard() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporaryPath_.empty()) unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
    buffer_.clear();
}

void requireWritable(const std::string& path) { AtomicFile probe(path); }

}  // namespace cvt::formats
