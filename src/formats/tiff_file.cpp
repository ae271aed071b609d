// Multi-page TIFF through libtiff: one page (directory) per z, each a grayscale image of one sample per
// pixel, 8- or 16-bit unsigned or 32-bit float, in strips or tiles, compressed as libtiff can decode.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "large_buffer.h"
#include "volume_formats.h"
#include "volume_reading.h"

namespace cvt::formats {
namespace {

// libtiff reports through handlers; these keep its first error for our message and print nothing.
int keepFirstError(TIFF*, void* userData, const char* module, const char* format, va_list arguments) {
    std::string& error = *static_cast<std::string*>(userData);
    if (error.empty()) {
        char text[400];
        std::vsnprintf(text, sizeof text, format, arguments);
        error = (module && *module ? std::string(module) + ": " : std::string()) + text;
        std::replace(error.begin(), error.end(), '\n', ' ');
    }
    return 1;
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct PageLayout {
    uint32_t width = 0, height = 0;
    SampleType type = SampleType::uint8;
};

class TiffReader {
public:
    TiffReader(const std::string& path, int maxSide) : path_(path) {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, keepFirstError, &error_);
        TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
        // No single buffer of libtiff's need exceed a few pages of the largest allowed side.
        const uint64_t side = std::clamp<uint64_t>(uint64_t(std::max(maxSide, 1)), 1, 1 << 20);
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(std::max<uint64_t>(side * side * 16, 64 << 20)));
        // "m": read, not memory-map, so that a file truncated meanwhile is a read error, not a crash.
        tiff_ = TIFFOpenExt(path.c_str(), "rm", options);
        TIFFOpenOptionsFree(options);
        if (tiff_ == nullptr) fail("not a readable TIFF file");
    }
    ~TiffReader() { TIFFClose(tiff_); }
    TiffReader(const TiffReader&) = delete;
    TiffReader& operator=(const TiffReader&) = delete;

    // Adds libtiff's message, less the path that it repeats.
    [[noreturn]] void fail(const std::string& problem) const {
        std::string error = error_;
        for (size_t at; (at = error.find(path_ + ": ")) != std::string::npos;) error.erase(at, path_.size() + 2);
        failAt(path_, problem + (error.empty() ? "" : " (" + error + ")"));
    }

    // Counts the pages. libtiff stops at a page it cannot read, saying so only through its handler.
    uint32_t pages() const {
        const uint32_t pages = TIFFNumberOfDirectories(tiff_);
        if (!error_.empty()) fail("cannot read page " + std::to_string(pages));
        return pages;
    }
    bool bigEndian() const { return TIFFIsBigEndian(tiff_); }

    void goToPage(uint32_t page) {
        if (!TIFFSetDirectory(tiff_, tdir_t(page)) || !error_.empty()) fail("cannot read page " + std::to_string(page));
    }

    PageLayout layout(uint32_t page) const {
        PageLayout layout;
        uint16_t samplesPerPixel = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
        if (!TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &layout.width) ||
            !TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &layout.height))
            fail("page " + std::to_string(page) + " has no width or height");
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric);
        const std::string where = "page " + std::to_string(page);
        if (samplesPerPixel != 1)
            fail(where + " has " + std::to_string(samplesPerPixel) + " samples per pixel; only grayscale pages are read");
        if (photometric != PHOTOMETRIC_MINISBLACK)
            fail(where + " is not black-is-zero grayscale (photometric interpretation " + std::to_string(photometric) +
                 ")");
        if (bits == 8 && format == SAMPLEFORMAT_UINT) {
            layout.type = SampleType::uint8;
        } else if (bits == 16 && format == SAMPLEFORMAT_UINT) {
            layout.type = SampleType::uint16;
        } else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP) {
            layout.type = SampleType::float32;
        } else {
            const char* const formatNames[] = {"", "unsigned", "signed", "float", "untyped"};
            fail(where + " has " + std::to_string(bits) + "-bit " + (format <= 4 ? formatNames[format] : "unknown") +
                 " samples; 8- or 16-bit unsigned and 32-bit float are read");
        }
        return layout;
    }

    // Decodes the current page, of `layout`, into `into`: width * height samples, x fastest.
    void readPage(uint32_t page, const PageLayout& layout, std::byte* into) const {
        if (TIFFIsTiled(tiff_))
            readTiles(page, layout, into);
        else
            readStrips(page, layout, into);
        if (!error_.empty()) fail("cannot read page " + std::to_string(page));
    }

private:
    void readStrips(uint32_t page, const PageLayout& layout, std::byte* into) const {
        const size_t rowBytes = size_t(layout.width) * sampleBytes(layout.type);
        uint32_t rowsPerStrip = layout.height;
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, layout.height);
        const uint32_t strips = (layout.height + rowsPerStrip - 1) / rowsPerStrip;
        if (TIFFNumberOfStrips(tiff_) < strips)
            fail("page " + std::to_string(page) + " has fewer strips than its rows need");
        for (uint32_t strip = 0; strip < strips; ++strip) {
            const uint32_t firstRow = strip * rowsPerStrip;
            const tmsize_t bytes = tmsize_t(std::min(rowsPerStrip, layout.height - firstRow) * rowBytes);
            if (TIFFReadEncodedStrip(tiff_, strip, into + firstRow * rowBytes, bytes) != bytes)
                fail("page " + std::to_string(page) + ": cannot read strip " + std::to_string(strip));
        }
    }

    void readTiles(uint32_t page, const PageLayout& layout, std::byte* into) const {
        const size_t width = sampleBytes(layout.type);
        uint32_t tileWidth = 0, tileHeight = 0;
        TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &tileHeight);
        // Tiles may overhang the page, but not by more than a tile of the common sizes would.
        if (tileWidth == 0 || tileHeight == 0 || tileWidth > std::max(layout.width, 1024u) ||
            tileHeight > std::max(layout.height, 1024u))
            fail("page " + std::to_string(page) + " has tiles of " + std::to_string(tileWidth) + "x" +
                 std::to_string(tileHeight));
        const tmsize_t tileBytes = tmsize_t(size_t(tileWidth) * tileHeight * width);
        std::vector<std::byte> tile(static_cast<size_t>(tileBytes));
        for (uint32_t top = 0; top < layout.height; top += tileHeight)
            for (uint32_t left = 0; left < layout.width; left += tileWidth) {
                const uint32_t index = TIFFComputeTile(tiff_, left, top, 0, 0);
                if (TIFFReadEncodedTile(tiff_, index, tile.data(), tileBytes) != tileBytes)
                    fail("page " + std::to_string(page) + ": cannot read tile " + std::to_string(index));
                const size_t rows = std::min(tileHeight, layout.height - top);
                const size_t columns = std::min(tileWidth, layout.width - left);
                for (size_t row = 0; row < rows; ++row)
                    std::memcpy(into + ((top + row) * layout.width + left) * width,
                                tile.data() + row * tileWidth * width, columns * width);
            }
    }

    const std::string& path_;
    std::string error_;
    TIFF* tiff_ = nullptr;
};

}  // namespace

VolumeFile readTiff(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    const InputFile file(path);  // the same messages as other formats for missing or unreadable files
    TiffReader reader(path, options.maxSide);
    const uint32_t pages = reader.pages();
    const PageLayout first = reader.layout(0);
    VolumeFile volume;
    volume.format = FileFormat::tiff;
    volume.type = first.type;
    volume.bigEndian = reader.bigEndian();
    volume.shape = checkedShape(path, {first.width, first.height, pages}, true, options.maxSide);
    // Every page's directory is checked, whichever pages are read, so that a file is refused alike
    // however it is read.
    for (uint32_t page = 1; page < pages; ++page) {
        reader.goToPage(page);
        const PageLayout layout = reader.layout(page);
        if (layout.width != first.width || layout.height != first.height)
            failAt(path, "page " + std::to_string(page) + " is " + std::to_string(layout.width) + "x" +
                        std::to_string(layout.height) + ", page 0 is " + std::to_string(first.width) + "x" +
                        std::to_string(first.height));
        if (layout.type != first.type)
            failAt(path, "page " + std::to_string(page) + " holds " + sampleTypeName(layout.type) + ", page 0 " +
                        sampleTypeName(first.type));
    }
    if (selection.kind == SampleSelection::Kind::header) return volume;
    const PlaneRange planes = selectPlanes(path, selection, volume);
    const size_t pageBytes = size_t(first.width) * first.height * sampleBytes(first.type);
    // Compressed pages may hold more than the file's bytes; beyond a generous ratio the samples grow
    // only as pages decode, so that a small file cannot claim a large allocation.
    volume.samples.reserve(std::min<uint64_t>(volumeBytes(volume.shape, volume.type), file.size() * 64));
    populateLargeBuffer(volume.samples.data(), volume.samples.capacity());
    for (int page = planes.begin; page < planes.end; ++page) {
        reader.goToPage(uint32_t(page));
        volume.samples.resize(volume.samples.size() + pageBytes);
        reader.readPage(uint32_t(page), first, volume.samples.data() + size_t(page - planes.begin) * pageBytes);
    }
    return volume;
}

}  // namespace cvt::formats
