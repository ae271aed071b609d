// Data compressed with gzip (or zlib), as NRRD's gzip encoding stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "atomic_file.h"
#include "volume_reading.h"

namespace cvt::formats {

// The most bytes that `compressedBytes` of deflate data can expand to: 258 bytes from 2 bits.
uint64_t mostInflatedBytes(uint64_t compressedBytes);

// Inflates the gzip data that fill `file` from `offset` to its end (one or more gzip members) into
// exactly `bytes` bytes at `into`. Throws cvt::Failure "<messagePath>: ..." when the data are corrupt
// or inflate to more or fewer bytes.
void inflateExactly(const InputFile& file, uint64_t offset, std::byte* into, size_t bytes,
                    const std::string& messagePath);

// Writes bytes into `file` as one gzip member. finish() must follow the last write; a writer destroyed
// without it leaves the member unfinished, which only matters to a file that is then not committed.
class GzipWriter {
public:
    explicit GzipWriter(AtomicFile& file);
    ~GzipWriter();
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;

    void write(const void* data, size_t bytes);
    void finish();

private:
    void deflateInto(int flush);

    AtomicFile& file_;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace cvt::formats
