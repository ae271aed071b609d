#include "formats_test_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <tiffio.h>
#include <zlib.h>
#include <nifti2_io.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {
std::atomic<size_t> allocationCeiling{SIZE_MAX};
}  // namespace

// The test program's operator new, for AllocationCeiling; delete is replaced along with it.
void* operator new(size_t bytes) {
    if (bytes > allocationCeiling.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* memory = std::malloc(bytes ? bytes : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace cvt::formats::testing {
namespace {

template <class T>
void store(std::byte* at, double value) {
    const T sample = static_cast<T>(value);
    std::memcpy(at, &sample, sizeof sample);
}

std::string npyDescr(SampleType type, bool bigEndian) {
    const char* codes[] = {"u1", "i1", "u2", "i2", "i4", "u4", "f4", "f8"};
    return (sampleBytes(type) == 1 ? "|" : bigEndian ? ">" : "<") + std::string(codes[int(type)]);
}

}  // namespace

double patternValue(SampleType type, size_t index) {
    uint64_t bits = (index + 1) * 0x9E3779B97F4A7C15ull;
    bits ^= bits >> 29;
    switch (type) {
        case SampleType::uint8: return double(bits & 0xff);
        case SampleType::int8: return double(bits & 0x7f);
        case SampleType::uint16: return double(bits & 0xffff);
        case SampleType::int16: return double(bits & 0x7fff);
        case SampleType::int32: return double(bits & 0x7fffffff);
        case SampleType::uint32: return double(bits & 0xffffffff);
        case SampleType::float32:
        case SampleType::float64: return double(bits % 100000) / 64;
    }
    return 0;
}

void setSample(TestVolume& volume, size_t index, double value) {
    std::byte* at = volume.samples.data() + index * sampleBytes(volume.type);
    switch (volume.type) {
        case SampleType::uint8: return store<uint8_t>(at, value);
        case SampleType::int8: return store<int8_t>(at, value);
        case SampleType::uint16: return store<uint16_t>(at, value);
        case SampleType::int16: return store<int16_t>(at, value);
        case SampleType::int32: return store<int32_t>(at, value);
        case SampleType::uint32: return store<uint32_t>(at, value);
        case SampleType::float32: return store<float>(at, value);
        case SampleType::float64: return store<double>(at, value);
    }
}

TestVolume patternVolume(SampleType type, VolumeShape shape) {
    TestVolume volume{shape, type, {}};
    const size_t count = size_t(shape.x) * shape.y * shape.z;
    volume.samples.resize(count * sampleBytes(type));
    for (size_t i = 0; i < count; ++i) setSample(volume, i, patternValue(type, i));
    return volume;
}

std::string samplesInOrder(const TestVolume& volume, bool bigEndian) {
    std::string bytes(reinterpret_cast<const char*>(volume.samples.data()), volume.samples.size());
    const size_t width = sampleBytes(volume.type);
    if (bigEndian != (std::endian::native == std::endian::big))
        for (size_t at = 0; at < bytes.size(); at += width) std::reverse(bytes.begin() + at, bytes.begin() + at + width);
    return bytes;
}

std::string npyFileWithHeader(std::string dict, const std::string& data, int version) {
    const size_t lengthBytes = version == 1 ? 2 : 4;
    dict.append(63 - (8 + lengthBytes + dict.size()) % 64, ' ');
    dict += '\n';
    std::string file = "\x93NUMPY";
    file += char(version);
    file += '\0';
    for (size_t i = 0; i < lengthBytes; ++i) file += char(dict.size() >> (8 * i) & 0xff);
    return file + dict + data;
}

std::string npyFile(const TestVolume& volume, bool bigEndian, bool fortranOrder, int version) {
    const VolumeShape s = volume.shape;
    const int first = fortranOrder ? s.x : s.z, last = fortranOrder ? s.z : s.x;
    const std::string dict = "{'descr': '" + npyDescr(volume.type, bigEndian) +
                             "', 'fortran_order': " + (fortranOrder ? "True" : "False") + ", 'shape': (" +
                             std::to_string(first) + ", " + std::to_string(s.y) + ", " + std::to_string(last) + "), }";
    return npyFileWithHeader(dict, samplesInOrder(volume, bigEndian), version);
}

std::string nrrdHeader(const TestVolume& volume, bool bigEndian, bool gzip) {
    const char* spellings[] = {"unsigned char", "signed char", "ushort", "short", "int", "uint", "float", "double"};
    return std::string("NRRD0005\n# a test volume\ntype: ") + spellings[int(volume.type)] +
           "\ndimension: 3\nsizes: " + std::to_string(volume.shape.x) + " " + std::to_string(volume.shape.y) + " " +
           std::to_string(volume.shape.z) + "\nencoding: " + (gzip ? "gzip" : "raw") +
           "\nendian: " + (bigEndian ? "big" : "little") + "\n";
}

namespace {

int niftiDatatype(SampleType type) {
    switch (type) {
        case SampleType::uint8: return NIFTI_TYPE_UINT8;
        case SampleType::int8: return NIFTI_TYPE_INT8;
        case SampleType::uint16: return NIFTI_TYPE_UINT16;
        case SampleType::int16: return NIFTI_TYPE_INT16;
        case SampleType::int32: return NIFTI_TYPE_INT32;
        case SampleType::uint32: return NIFTI_TYPE_UINT32;
        case SampleType::float32: return NIFTI_TYPE_FLOAT32;
        case SampleType::float64: return NIFTI_TYPE_FLOAT64;
    }
    return 0;
}

// The fields both header versions share, set alike.
template <class Header>
std::string niftiBytes(Header header, const TestVolume& volume, const NiftiEdits& edits, const char* magic,
                       size_t magicBytes) {
    std::vector<int64_t> dims = edits.dims;
    if (dims.empty()) dims = {3, volume.shape.x, volume.shape.y, volume.shape.z};
    // Every field converted to its own type, whichever version's it is.
    const auto set = [](auto& field, double value) { field = std::remove_reference_t<decltype(field)>(value); };
    for (int i = 0; i < 8; ++i) set(header.dim[i], i < int(dims.size()) ? double(dims[i]) : 1);
    header.datatype = short(edits.datatype ? edits.datatype : niftiDatatype(volume.type));
    header.bitpix = short(8 * sampleBytes(volume.type));
    const float pixdim[4] = {1, 0.5f, 0.75f, 2.5f};
    for (int i = 0; i < 8; ++i) set(header.pixdim[i], i < 4 ? pixdim[i] : 1);
    set(header.scl_slope, edits.slope);
    set(header.scl_inter, edits.intercept);
    header.sform_code = 2;
    const double rows[3][4] = {{0.5, 0, 0, 3}, {0, 0.75, 0, 5}, {0, 0, 2.5, -7}};
    for (int c = 0; c < 4; ++c) {
        set(header.srow_x[c], rows[0][c]);
        set(header.srow_y[c], rows[1][c]);
        set(header.srow_z[c], rows[2][c]);
    }
    header.xyzt_units = NIFTI_UNITS_MM;
    header.vox_offset = sizeof header + 4;
    std::memcpy(header.magic, magic, magicBytes);
    std::string file(reinterpret_cast<const char*>(&header), sizeof header);
    file += std::string(4, '\0');
    std::string data(reinterpret_cast<const char*>(volume.samples.data()), volume.samples.size());
    if (edits.extraData >= 0) data += std::string(size_t(edits.extraData), '\0');
    else data.resize(data.size() - std::min<size_t>(data.size(), size_t(-edits.extraData)));
    return file + data;
}

}  // namespace

std::string niftiFile(const TestVolume& volume, const NiftiEdits& edits) {
    if (edits.version == 2) {
        nifti_2_header header{};
        header.sizeof_hdr = sizeof header;
        return niftiBytes(header, volume, edits, "n+2\0\r\n\032\n", 8);
    }
    nifti_1_header header{};
    header.sizeof_hdr = sizeof header;
    return niftiBytes(header, volume, edits, "n+1", 4);
}

std::string gzipped(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, uLong(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

void writeTiff(const std::string& path, const std::vector<TestVolume>& volumes, const TiffLayout& layout) {
    TIFF* tiff = TIFFOpen(path.c_str(), layout.bigEndian ? "wb" : "wl");
    ASSERT_NE(tiff, nullptr);
    for (const TestVolume& volume : volumes) {
        const size_t width = sampleBytes(volume.type), pageBytes = size_t(volume.shape.x) * volume.shape.y * width;
        const bool isFloat = volume.type == SampleType::float32 || volume.type == SampleType::float64;
        const bool isSigned = volume.type == SampleType::int16 || volume.type == SampleType::int32;
        for (int z = 0; z < volume.shape.z; ++z) {
            TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(volume.shape.x));
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(volume.shape.y));
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8 * width));
            TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT,
                         isFloat ? SAMPLEFORMAT_IEEEFP : isSigned ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(layout.samplesPerPixel));
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.samplesPerPixel == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, uint16_t(layout.compression));
            // Pixels of several samples repeat the one sample.
            std::vector<std::byte> page(pageBytes * layout.samplesPerPixel);
            const std::byte* source = volume.samples.data() + z * pageBytes;
            for (size_t pixel = 0; pixel < pageBytes / width; ++pixel)
                for (int s = 0; s < layout.samplesPerPixel; ++s)
                    std::memcpy(&page[(pixel * layout.samplesPerPixel + s) * width], source + pixel * width, width);
            const size_t rowBytes = size_t(volume.shape.x) * width * layout.samplesPerPixel;
            if (layout.tiled) {
                constexpr uint32_t edge = 16;
                TIFFSetField(tiff, TIFFTAG_TILEWIDTH, edge);
                TIFFSetField(tiff, TIFFTAG_TILELENGTH, edge);
                const size_t pixelBytes = width * layout.samplesPerPixel;
                std::vector<std::byte> tile(edge * edge * pixelBytes);
                for (uint32_t top = 0; top < uint32_t(volume.shape.y); top += edge)
                    for (uint32_t left = 0; left < uint32_t(volume.shape.x); left += edge) {
                        std::fill(tile.begin(), tile.end(), std::byte{0});
                        for (uint32_t row = 0; row < edge && top + row < uint32_t(volume.shape.y); ++row)
                            std::memcpy(&tile[row * edge * pixelBytes], &page[(top + row) * rowBytes + left * pixelBytes],
                                        std::min<size_t>(edge, volume.shape.x - left) * pixelBytes);
                        ASSERT_GE(TIFFWriteTile(tiff, tile.data(), left, top, 0, 0), 0);
                    }
            } else {
                TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(3));
                for (int row = 0; row < volume.shape.y; ++row)
                    ASSERT_EQ(TIFFWriteScanline(tiff, &page[row * rowBytes], uint32_t(row), 0), 1);
            }
            ASSERT_TRUE(TIFFWriteDirectory(tiff));
        }
    }
    TIFFClose(tiff);
}

ScratchDirectory::ScratchDirectory() {
    char name[] = "/tmp/cvt-formats-XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    directory_ = name;
}

ScratchDirectory::~ScratchDirectory() { std::filesystem::remove_all(directory_); }

std::string ScratchDirectory::write(const std::string& name, const std::string& bytes) const {
    // A new file rather than a truncated one, which ext4 would flush to disk on closing.
    std::filesystem::remove(path(name));
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
}

AllocationCeiling::AllocationCeiling(size_t bytes) { allocationCeiling = bytes; }
AllocationCeiling::~AllocationCeiling() { allocationCeiling = SIZE_MAX; }

std::string failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "";
}

}  // namespace cvt::formats::testing
