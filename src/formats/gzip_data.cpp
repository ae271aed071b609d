#include "gzip_data.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace cvt::formats {
namespace {

class Inflater {
public:
    explicit Inflater(const std::string& messagePath) : messagePath_(messagePath) {
        // 15 + 32: the largest window, and a gzip or zlib wrapper recognised by its header.
        if (inflateInit2(&stream_, 15 + 32) != Z_OK) failAt(messagePath_, "cannot start inflating gzip data");
    }
    ~Inflater() { inflateEnd(&stream_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    z_stream& stream() { return stream_; }
    [[noreturn]] void fail(const std::string& problem) const {
        failAt(messagePath_, problem + (stream_.msg ? std::string(": ") + stream_.msg : std::string()));
    }

private:
    const std::string& messagePath_;
    z_stream stream_{};
};

}  // namespace

uint64_t mostInflatedBytes(uint64_t compressedBytes) { return compressedBytes * 1032 + 1032; }

void inflateExactly(const InputFile& file, uint64_t offset, std::byte* into, size_t bytes,
                    const std::string& messagePath) {
    Inflater inflater(messagePath);
    z_stream& stream = inflater.stream();
    std::vector<unsigned char> input(size_t(1) << 16);
    // Output beyond `bytes` goes here, only to be noticed.
    unsigned char excess[64];
    uint64_t readTo = offset, end = file.size();
    size_t produced = 0;
    for (;;) {
        if (stream.avail_in == 0 && readTo < end) {
            const size_t got = file.readSome(readTo, input.data(), size_t(std::min<uint64_t>(input.size(), end - readTo)));
            if (got == 0) end = readTo;  // the file shrank
            readTo += got;
            stream.next_in = input.data();
            stream.avail_in = uInt(got);
        }
        const bool full = produced == bytes;
        stream.next_out = full ? excess : reinterpret_cast<unsigned char*>(into + produced);
        stream.avail_out = full ? sizeof excess : uInt(std::min<size_t>(bytes - produced, size_t(1) << 30));
        const uInt roomBefore = stream.avail_out;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (full && stream.avail_out != roomBefore)
            failAt(messagePath, "gzip data inflate to more than the declared " + bytesText(bytes));
        if (!full) produced += roomBefore - stream.avail_out;
        if (status == Z_STREAM_END) {
            if (stream.avail_in == 0 && readTo == end) break;
            inflateReset(&stream);  // another gzip member follows
        } else if (status == Z_BUF_ERROR && stream.avail_in == 0 && readTo == end) {
            failAt(messagePath, "gzip data end early, after inflating to " + bytesText(produced) + " of the declared " +
                                    std::to_string(bytes));
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            inflater.fail("corrupt gzip data");
        }
    }
    if (produced != bytes)
        failAt(messagePath, "gzip data inflate to " + bytesText(produced) + ", not the declared " + std::to_string(bytes));
}

struct GzipWriter::State {
    z_stream stream{};
    std::vector<unsigned char> output = std::vector<unsigned char>(size_t(1) << 16);
};

GzipWriter::GzipWriter(AtomicFile& file) : file_(file), state_(std::make_unique<State>()) {
    // 15 + 16: the largest window with a gzip wrapper. Level 1: label volumes are long runs, which the
    // fastest level already compresses nearly as well as the best.
    if (deflateInit2(&state_->stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        failAt(file.path(), "cannot start compressing");
}

GzipWriter::~GzipWriter() { deflateEnd(&state_->stream); }

void GzipWriter::deflateInto(int flush) {
    z_stream& stream = state_->stream;
    for (;;) {
        stream.next_out = state_->output.data();
        stream.avail_out = uInt(state_->output.size());
        const int status = deflate(&stream, flush);
        if (status == Z_STREAM_ERROR) failAt(file_.path(), "compressing failed");
        file_.write(state_->output.data(), state_->output.size() - stream.avail_out);
        if (flush == Z_FINISH ? status == Z_STREAM_END : stream.avail_out != 0) return;
    }
}

void GzipWriter::write(const void* data, size_t bytes) {
    const auto* next = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const size_t piece = std::min<size_t>(bytes, size_t(1) << 30);
        state_->stream.next_in = const_cast<unsigned char*>(next);
        state_->stream.avail_in = uInt(piece);
        deflateInto(Z_NO_FLUSH);
        next += piece;
        bytes -= piece;
    }
}

void GzipWriter::finish() { deflateInto(Z_FINISH); }

}  // namespace cvt::formats
