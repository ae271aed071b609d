// Output files that appear completely or not at all. The bytes go to a temporary file beside the
// destination, which replaces the destination by a rename only once everything has been written and
// flushed; a failure, or an AtomicFile destroyed without commit(), leaves no file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cvt::formats {

class AtomicFile {
public:
    // Creates the temporary file in the destination's directory. Throws cvt::Failure naming `path`.
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Appends bytes; buffered. Throws cvt::Failure (a full disk, an I/O error).
    void write(const void* data, size_t bytes);
    void write(const std::string& text) { write(text.data(), text.size()); }
    // Makes the file `size` bytes long (zeros after what was written), so that other processes can
    // write their parts into the temporary file at offsets. Throws cvt::Failure.
    void extendTo(uint64_t size);
    // Flushes, syncs and renames onto the destination. Throws cvt::Failure, removing the temporary.
    void commit();

    const std::string& path() const { return path_; }
    // Where the bytes go until commit().
    const std::string& temporaryPath() const { return temporaryPath_; }

private:
    void flush();
    // Writes the bytes to the file, discarding it on failure.
    void writeThrough(const char* data, size_t bytes);
    void discard() noexcept;

    std::string path_;
    std::string temporaryPath_;
    int fd_ = -1;
    std::string buffer_;
};

// Throws cvt::Failure, naming `path`, when a file could not be created there: a missing or read-only
// directory, or a path that is a directory. Leaves nothing behind. For checks before long work.
void requireWritable(const std::string& path);

}  // namespace cvt::formats
