// NIfTI-1 and NIfTI-2 single files (.nii), plain or gzip-compressed (.nii.gz), read through the NIfTI
// C library; labels written as NIfTI-1 with the header that library makes from the scan's geometry.
#include <nifti2_io.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "gzip_data.h"
#include "large_buffer.h"
#include "volume_formats.h"
#include "volume_reading.h"
#include "volume_writing.h"

namespace cvt::formats {
namespace {

struct NiftiType {
    int code;
    SampleType type;
};

constexpr NiftiType niftiTypes[] = {
    {NIFTI_TYPE_UINT8, SampleType::uint8},     {NIFTI_TYPE_INT8, SampleType::int8},
    {NIFTI_TYPE_UINT16, SampleType::uint16},   {NIFTI_TYPE_INT16, SampleType::int16},
    {NIFTI_TYPE_INT32, SampleType::int32},     {NIFTI_TYPE_UINT32, SampleType::uint32},
    {NIFTI_TYPE_FLOAT32, SampleType::float32}, {NIFTI_TYPE_FLOAT64, SampleType::float64},
};

// The library's code for data stored most significant byte first (its MSB_FIRST, which only its own
// sources see).
constexpr int niftiMostSignificantFirst = 2;

struct ImageFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Image = std::unique_ptr<nifti_image, ImageFree>;

// The library prints its own complaints on standard error, some of them whatever its debug level;
// this program says what went wrong in one line of its own. So standard error points at /dev/null
// while the library works (reading happens on one thread, before any other output).
class QuietLibrary {
public:
    QuietLibrary() {
        nifti_set_debug_level(0);
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~QuietLibrary() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    QuietLibrary(const QuietLibrary&) = delete;
    QuietLibrary& operator=(const QuietLibrary&) = delete;

private:
    int saved_ = -1;
};

SampleType sampleTypeOf(const std::string& path, const nifti_image& image) {
    for (const NiftiType& entry : niftiTypes)
        if (entry.code == image.datatype) return entry.type;
    failAt(path, std::string("unsupported data type ") + nifti_datatype_string(image.datatype) +
                     " (integers of 8 to 32 bits and float32/float64 are read)");
}

// Two sides (an image) or three, or four with a single volume along the fourth; never more.
VolumeShape shapeOf(const std::string& path, const nifti_image& image, int maxSide) {
    const int64_t dimensions = image.dim[0];
    if (dimensions < 2 || dimensions > 7)
        failAt(path, "the header declares " + std::to_string(dimensions) +
                         " dimensions; an image has 2, a volume 3");
    if (dimensions == 2) return checkedShape(path, {uint64_t(image.dim[1]), uint64_t(image.dim[2])}, true, maxSide);
    for (int axis = 4; axis <= dimensions; ++axis)
        if (image.dim[axis] != 1)
            failAt(path, axis == 4 ? "holds " + std::to_string(image.dim[4]) + " volumes along its 4th axis; one is read"
                                   : "has " + std::to_string(dimensions) + " dimensions with more than one sample "
                                                                              "beyond the 3rd; a volume has 3");
    for (int axis = 1; axis <= 3; ++axis)
        if (image.dim[axis] < 1) failAt(path, "the header declares a side of " + std::to_string(image.dim[axis]));
    return checkedShape(path, {uint64_t(image.dim[1]), uint64_t(image.dim[2]), uint64_t(image.dim[3])}, true, maxSide);
}

template <class T>
T swapped(T value) {
    swapSampleBytes(reinterpret_cast<std::byte*>(&value), 1, sizeof value);
    return value;
}

// The header's fields that decide how it is read, checked before the library sees it: the library
// trusts them and can crash on a damaged header.
template <class Header>
void checkHeaderFields(const std::string& path, Header header, bool swap, int maxSide) {
    const auto field = [swap](auto value) { return swap ? swapped(value) : value; };
    const int64_t dimensions = field(header.dim[0]);
    if (dimensions < 1 || dimensions > 7)
        failAt(path, "the header declares " + std::to_string(dimensions) + " dimensions");
    for (int axis = 1; axis <= dimensions; ++axis) {
        const int64_t side = field(header.dim[axis]);
        if (side < 1 || side > std::max<int64_t>(maxSide, 1))
            failAt(path, "the header declares a side of " + std::to_string(side) + " on axis " + std::to_string(axis) +
                             ", outside 1 to " + std::to_string(maxSide));
    }
    const double offset = double(field(header.vox_offset));
    if (!(offset >= double(sizeof(Header))) || offset > double(int64_t(1) << 40))
        failAt(path, "the header places the data at byte " + std::to_string(offset) + ", inside or far beyond it");
    const int bitpix = field(header.bitpix);
    if (bitpix < 0 || bitpix > 256) failAt(path, "the header declares " + std::to_string(bitpix) + " bits per voxel");
}

// Reads the header's first bytes (through gzip when compressed) and checks what the library would trust.
void checkHeader(const std::string& path, int maxSide) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) failAt(path, "cannot open");
    unsigned char bytes[sizeof(nifti_2_header)] = {};
    const int got = gzread(file, bytes, sizeof bytes);
    gzclose(file);
    int32_t size = 0;
    std::memcpy(&size, bytes, sizeof size);
    const bool swap = size == swapped(int32_t(348)) || size == swapped(int32_t(540));
    if (swap) size = swapped(size);
    const char* damaged = "not a NIfTI-1 or NIfTI-2 file, or its header is damaged";
    if (size == int32_t(sizeof(nifti_1_header)) && got >= int(sizeof(nifti_1_header))) {
        nifti_1_header header;
        std::memcpy(&header, bytes, sizeof header);
        if (std::memcmp(header.magic, "n+1", 4) != 0) failAt(path, damaged);
        checkHeaderFields(path, header, swap, maxSide);
    } else if (size == int32_t(sizeof(nifti_2_header)) && got >= int(sizeof(nifti_2_header))) {
        nifti_2_header header;
        std::memcpy(&header, bytes, sizeof header);
        if (std::memcmp(header.magic, "n+2\0\r\n\032\n", 8) != 0) failAt(path, damaged);
        checkHeaderFields(path, header, swap, maxSide);
    } else {
        failAt(path, damaged);
    }
}

NiftiGeometry geometryOf(const nifti_image& image) {
    NiftiGeometry geometry;
    geometry.qformCode = image.qform_code;
    geometry.sformCode = image.sform_code;
    geometry.quatern = {image.quatern_b, image.quatern_c, image.quatern_d};
    geometry.qoffset = {image.qoffset_x, image.qoffset_y, image.qoffset_z};
    geometry.qfac = image.qfac;
    geometry.pixdim = {image.pixdim[1], image.pixdim[2], image.pixdim[3]};
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column) geometry.sform[row][column] = image.sto_xyz.m[row][column];
    geometry.spaceUnits = image.xyz_units;
    geometry.timeUnits = image.time_units;
    return geometry;
}

// The samples of `planes` as the file stores them, through gzip when it is compressed (zlib reads a
// plain file as it is), then in native order. Read here rather than by the library, which replaces
// non-finite floats with 0 as it reads them: the density's checks are to see them and name the voxel,
// as they do for every other format.
void readSamples(const std::string& path, uint64_t dataOffset, PlaneRange planes, VolumeFile& volume) {
    const uint64_t planeBytes = uint64_t(volume.shape.x) * uint64_t(volume.shape.y) * sampleBytes(volume.type);
    resizeLarge(volume.samples, volumeBytes(volume.shape, volume.type));
    const std::unique_ptr<gzFile_s, int (*)(gzFile)> file(gzopen(path.c_str(), "rb"), gzclose);
    if (file == nullptr) failAt(path, "cannot open");
    const char* unreadable = volume.encoding == "gzip" ? "the data could not be read: the gzip stream is corrupt or ends early"
                                                       : "the data could not be read";
    if (gzseek(file.get(), z_off_t(dataOffset + planeBytes * uint64_t(planes.begin)), SEEK_SET) < 0)
        failAt(path, unreadable);
    constexpr size_t largestRead = size_t(1) << 30;
    for (size_t done = 0; done < volume.samples.size();) {
        const unsigned want = unsigned(std::min(largestRead, volume.samples.size() - done));
        if (gzread(file.get(), volume.samples.data() + done, want) != int(want)) failAt(path, unreadable);
        done += want;
    }
    toNativeOrder(volume);
}

}  // namespace

VolumeFile readNifti(const std::string& path, const ReadOptions& options, const SampleSelection& selection) {
    const InputFile file(path);  // missing, unreadable or not a regular file: said as for every format
    checkHeader(path, options.maxSide);
    const QuietLibrary quiet;
    const Image image(nifti_image_read(path.c_str(), 0));
    if (!image)
        failAt(path, lowercaseExtension(path) == "gz"
                         ? "not a NIfTI-1 or NIfTI-2 file, or its header or gzip stream is damaged"
                         : "not a NIfTI-1 or NIfTI-2 file, or its header is damaged");
    VolumeFile volume;
    volume.format = FileFormat::nifti;
    volume.type = sampleTypeOf(path, *image);
    volume.shape = shapeOf(path, *image, options.maxSide);
    volume.encoding = nifti_is_gzfile(image->iname) ? "gzip" : "raw";
    const uint64_t declared = volumeBytes(volume.shape, volume.type);
    if (image->iname_offset < 0) failAt(path, "the header places the data at a negative offset");
    if (volume.encoding == "raw" && declared > file.size() - std::min<uint64_t>(file.size(), image->iname_offset))
        failAt(path, "header declares " + bytesText(declared) + " of data from byte " +
                         std::to_string(image->iname_offset) + " but the file holds " + bytesText(file.size()));
    if (volume.encoding == "gzip" && declared > mostInflatedBytes(file.size()))
        failAt(path, "header declares " + bytesText(declared) + " of data, more than the " + bytesText(file.size()) +
                         " of gzip data can hold");
    volume.bigEndian = image->byteorder == niftiMostSignificantFirst;
    volume.spacing = {image->pixdim[1], image->pixdim[2], image->pixdim[3]};
    volume.geometry.nifti = geometryOf(*image);
    markImage(volume, size_t(image->dim[0]));
    // Scaled data: the stored value times scl_slope plus scl_inter; a slope of 0 means none.
    const double slope = image->scl_slope, intercept = image->scl_inter;
    const bool scaled =
        slope != 0 && std::isfinite(slope) && std::isfinite(intercept) && !(slope == 1 && intercept == 0);
    if (selection.kind == SampleSelection::Kind::header) {
        if (scaled) volume.type = SampleType::float64;  // as scaleSamples makes it
        return volume;
    }
    const PlaneRange planes = selectPlanes(path, selection, volume);
    readSamples(path, uint64_t(image->iname_offset), planes, volume);
    if (scaled) scaleSamples(volume, slope, intercept);
    return volume;
}

std::string niftiHeaderBytes(const std::string& path, SampleType type, VolumeShape shape,
                             const VolumeGeometry& geometry, std::array<double, 3> spacing) {
    int code = -1;
    for (const NiftiType& entry : niftiTypes)
        if (entry.type == type) code = entry.code;
    const int64_t dims[8] = {geometry.axes, shape.x, shape.y, shape.z, 1, 1, 1, 1};
    const QuietLibrary quiet;
    const Image image(nifti_make_new_nim(dims, code, 0));
    if (!image) failAt(path, "cannot make a NIfTI header");
    if (geometry.nifti) {
        const NiftiGeometry& g = *geometry.nifti;
        image->qform_code = g.qformCode;
        image->sform_code = g.sformCode;
        image->quatern_b = g.quatern[0], image->quatern_c = g.quatern[1], image->quatern_d = g.quatern[2];
        image->qoffset_x = g.qoffset[0], image->qoffset_y = g.qoffset[1], image->qoffset_z = g.qoffset[2];
        image->qfac = g.qfac;
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column) image->sto_xyz.m[row][column] = g.sform[row][column];
        image->xyz_units = g.spaceUnits;
        image->time_units = g.timeUnits;
        spacing = g.pixdim;
    }
    image->pixdim[1] = image->dx = spacing[0];
    image->pixdim[2] = image->dy = spacing[1];
    image->pixdim[3] = image->dz = spacing[2];
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nifti_1_header header{};
    if (nifti_convert_nim2n1hdr(image.get(), &header) != 0) failAt(path, "cannot make a NIfTI-1 header");
    // The data follow the header and four zero bytes that say no extension follows.
    header.vox_offset = sizeof(nifti_1_header) + 4;
    std::memcpy(header.magic, "n+1", 4);
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + std::string(4, '\0');
}

void writeNifti(const std::string& path, const void* samples, SampleType type, VolumeShape shape,
                const VolumeGeometry& geometry, std::array<double, 3> spacing) {
    requireWritableShape(path, shape, geometry.axes);
    const std::string header = niftiHeaderBytes(path, type, shape, geometry, spacing);
    AtomicFile output(path);
    std::optional<GzipWriter> gzip;
    if (lowercaseExtension(path) == "gz") gzip.emplace(output);
    // The samples in the header's (native) byte order.
    for (const auto& [data, bytes] : {std::pair<const void*, size_t>{header.data(), header.size()},
                                      {samples, volumeBytes(shape, type)}})
        gzip ? gzip->write(data, bytes) : output.write(data, bytes);
    if (gzip) gzip->finish();
    output.commit();
}

}  // namespace cvt::formats
