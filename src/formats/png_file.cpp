#include "png_file.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <exception>
#include <vector>

#include "atomic_file.h"
#include "device/failure.h"

namespace cvt::formats {
namespace {

// What libpng's callbacks reach: the file, and the first error met as the line to report. libpng
// reports errors by longjmp, and C++ exceptions must not cross its C frames, so a failed write is
// recorded here and turned into a libpng error; writePng throws once libpng has returned.
struct PngSink {
    AtomicFile* file;
    std::string error;
};

void recordError(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    if (sink->error.empty()) sink->error = sink->file->path() + ": PNG encoding failed: " + message;
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

void writeBytes(png_structp png, png_bytep data, size_t bytes) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    bool failed = false;
    try {
        sink->file->write(data, bytes);
    } catch (const std::exception& failure) {
        sink->error = failure.what();
        failed = true;
    }
    if (failed) png_error(png, "writing failed");
}

// AtomicFile buffers and syncs on commit; nothing to do per flush.
void flushNothing(png_structp) {}

// Only trivially destructible state lives between the setjmp and libpng's calls, so that a longjmp
// back here skips no destructor.
bool encode(png_structp png, png_infop info, PngSink* sink, int width, int height, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, sink, writeBytes, flushNothing);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, Z_BEST_SPEED);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

void writePng(const std::string& path, int width, int height, const uint8_t* rgb) {
    if (width <= 0 || height <= 0 || rgb == nullptr)
        throw Failure(path + ": no picture to write (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) rows[size_t(y)] = const_cast<png_bytep>(rgb + size_t(y) * width * 3);

    AtomicFile file(path);
    PngSink sink{&file, {}};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, recordError, ignoreWarning);
    if (png == nullptr) throw Failure(path + ": cannot start a PNG encoder");
    png_infop info = png_create_info_struct(png);
    const bool encoded = info != nullptr && encode(png, info, &sink, width, height, rows.data());
    png_destroy_write_struct(&png, &info);
    if (!encoded) throw Failure(sink.error.empty() ? path + ": PNG encoding failed: no memory" : sink.error);
    file.commit();
}

}  // namespace cvt::formats
