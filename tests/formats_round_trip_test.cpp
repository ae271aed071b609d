// Every format read back as written, over every sample type, byte order and layout, with the metadata
// the file carried; and the library's own writers read back by the readers.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "formats/volume_reading.h"
#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

constexpr VolumeShape shape{5, 4, 3};

void expectVolume(const VolumeFile& read, const TestVolume& expected, FileFormat format, bool bigEndian) {
    EXPECT_EQ(read.format, format);
    EXPECT_EQ(read.type, expected.type);
    EXPECT_EQ(read.shape.x, expected.shape.x);
    EXPECT_EQ(read.shape.y, expected.shape.y);
    EXPECT_EQ(read.shape.z, expected.shape.z);
    EXPECT_EQ(read.bigEndian, bigEndian);
    EXPECT_TRUE(read.samples == expected.samples);
}

std::string fileBytes(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

TEST(NpyFormatTest, ReadsEveryTypeByteOrderLayoutAndVersion) {
    const ScratchDirectory directory;
    for (const SampleType type : allSampleTypes)
        for (const bool bigEndian : {false, true})
            for (const bool fortran : {false, true})
                for (const int version : {1, 2, 3}) {
                    SCOPED_TRACE(std::string(sampleTypeName(type)) + (bigEndian ? " big" : " little") +
                                 (fortran ? " F" : " C") + " v" + std::to_string(version));
                    const TestVolume volume = patternVolume(type, shape);
                    const std::string path = directory.write("v.npy", npyFile(volume, bigEndian, fortran, version));
                    const VolumeFile read = readVolume(path);
                    expectVolume(read, volume, FileFormat::npy, bigEndian && sampleBytes(type) > 1);
                    EXPECT_EQ(read.fortranOrder, fortran);
                    EXPECT_EQ(read.encoding, "raw");
                }
}

// A writer and a reader that agree with each other could still both be wrong: the bytes are numpy's.
TEST(NpyFormatTest, WritesTheBytesNumpyWrites) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::uint16, {4, 3, 2});
    for (const bool fortran : {false, true}) {
        const std::string dict = fortran ? "{'descr': '<u2', 'fortran_order': True, 'shape': (4, 3, 2), }"
                                         : "{'descr': '<u2', 'fortran_order': False, 'shape': (2, 3, 4), }";
        writeNpy(directory.path("w.npy"), volume.samples.data(), volume.type, volume.shape, fortran);
        const std::string written = fileBytes(directory.path("w.npy"));
        EXPECT_EQ(written, npyFileWithHeader(dict, samplesInOrder(volume, false)));
        EXPECT_EQ((written.size() - volume.samples.size()) % 64, 0u);
    }
}

TEST(NrrdFormatTest, WritesAHeaderOtherReadersAccept) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::float32, {4, 3, 2});
    writeNrrd(directory.path("w.nrrd"), volume.samples.data(), volume.type, volume.shape);
    EXPECT_EQ(fileBytes(directory.path("w.nrrd")),
              "NRRD0004\ntype: float\ndimension: 3\nsizes: 4 3 2\nencoding: raw\nendian: little\n\n" +
                  samplesInOrder(volume, false));
}

TEST(FormatWriterTest, WrittenVolumesOfEveryTypeReadBack) {
    const ScratchDirectory directory;
    for (const SampleType type : allSampleTypes)
        for (const char* name : {"w.npy", "w.NPY", "w.nrrd", "w.nii", "w.NII.GZ", "w.nii.gz"})
            for (const bool fortran : {false, true}) {
                SCOPED_TRACE(std::string(sampleTypeName(type)) + " " + name);
                const TestVolume volume = patternVolume(type, {7, 1, 2});
                writeVolume(directory.path(name), volume.samples.data(), type, volume.shape, fortran);
                const VolumeFile read = readVolume(directory.path(name));
                expectVolume(read, volume, formatOfPath(name).value(), false);
                EXPECT_EQ(read.fortranOrder, fortran && read.format == FileFormat::npy);
            }
    // Above AtomicFile's buffer, the samples go to the file in one block.
    const TestVolume large = patternVolume(SampleType::float32, {160, 160, 41});
    writeVolume(directory.path("large.npy"), large.samples.data(), large.type, large.shape, false);
    expectVolume(readVolume(directory.path("large.npy")), large, FileFormat::npy, false);
    EXPECT_NE(failureOf([&] { writeVolume(directory.path("w.nhdr"), "", SampleType::uint8, {1, 1, 1}, false); }), "");
    EXPECT_NE(failureOf([&] { writeVolume(directory.path("w.tif"), "", SampleType::uint8, {1, 1, 1}, false); }), "");
    EXPECT_NE(failureOf([&] { writeNpy(directory.path("w.npy"), "", SampleType::uint8, {1, 0, 1}, false); }), "");
}

// A 2-D file is an image: one plane, whose labels are written with its two axes again.
TEST(FormatWriterTest, ImagesReadAsOnePlaneAndWriteBackWithTwoAxes) {
    const ScratchDirectory directory;
    const TestVolume image = patternVolume(SampleType::uint16, {7, 5, 1});
    VolumeGeometry geometry;
    geometry.axes = 2;
    const struct {
        const char* name;
        bool fortran;
        std::string header;  // what the file says of its shape
    } cases[] = {{"i.npy", false, "'shape': (5, 7), }"},     {"i.npy", true, "'shape': (7, 5), }"},
                 {"i.nrrd", false, "dimension: 2\nsizes: 7 5\n"}, {"i.nii", false, ""},
                 {"i.nii.gz", false, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeVolume(directory.path(c.name), image.samples.data(), image.type, image.shape, c.fortran, geometry,
                    {0.5, 0.75, 9});
        EXPECT_NE(fileBytes(directory.path(c.name)).find(c.header), std::string::npos);
        const VolumeFile read = readVolume(directory.path(c.name));
        expectVolume(read, image, formatOfPath(c.name).value(), false);
        EXPECT_EQ(read.geometry.axes, 2);
        if (read.format == FileFormat::nifti) EXPECT_EQ(read.spacing, (std::array<double, 3>{0.5, 0.75, 0.5}));
    }
    // The plane axis takes the smaller spacing, whatever the file gives for a third.
    const std::string nrrd = fileBytes(directory.path("i.nrrd"));
    const std::string spaced = directory.write("s.nrrd", nrrd.substr(0, nrrd.find("\n\n")) + "\nspacings: 4 0.25\n\n" +
                                                              samplesInOrder(image, false));
    EXPECT_EQ(readVolume(spaced).spacing, (std::array<double, 3>{4, 0.25, 0.25}));
    EXPECT_NE(failureOf([&] { writeVolume(directory.path("w.npy"), "", SampleType::uint8, {1, 1, 2}, false, geometry); }),
              "");
}

TEST(NrrdFormatTest, ReadsEveryTypeByteOrderAndEncodingAttachedOrDetached) {
    const ScratchDirectory directory;
    for (const SampleType type : allSampleTypes)
        for (const bool bigEndian : {false, true})
            for (const bool gzip : {false, true})
                for (const bool detached : {false, true}) {
                    SCOPED_TRACE(std::string(sampleTypeName(type)) + (bigEndian ? " big" : " little") +
                                 (gzip ? " gzip" : " raw") + (detached ? " detached" : " attached"));
                    const TestVolume volume = patternVolume(type, shape);
                    const std::string data = gzip ? gzipped(samplesInOrder(volume, bigEndian))
                                                  : samplesInOrder(volume, bigEndian);
                    const std::string header = nrrdHeader(volume, bigEndian, gzip);
                    const std::string path =
                        detached ? (directory.write("data.bin", data),
                                    directory.write("v.nhdr", header + "data file: data.bin\n"))
                                 : directory.write("v.nrrd", header + "\n" + data);
                    const VolumeFile read = readVolume(path);
                    expectVolume(read, volume, FileFormat::nrrd, bigEndian);
                    EXPECT_EQ(read.encoding, gzip ? "gzip" : "raw");
                    EXPECT_EQ(read.spacing, (std::array<double, 3>{1, 1, 1}));
                }
}

// Header fields that change nothing but metadata, or where the data start.
TEST(NrrdFormatTest, ReadsSpacingsAndSkipsWhatDoesNotConcernTheSamples) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::uint16, shape);
    const std::string data = samplesInOrder(volume, false);
    const std::string header = nrrdHeader(volume, false, false);
    struct Case {
        std::string fields, data;
        std::array<double, 3> spacing;
    } cases[] = {
        {"spacings: 0.5 2 1\n", data, {0.5, 2, 1}},
        {"spacings: nan 3 nan\n", data, {1, 3, 1}},
        {"space dimension: 3\nspace directions: (0.25,0,0) (0, 0, -2) (0,1,0)\nspacings: 7 7 7\n", data, {0.25, 2, 1}},
        {"kinds: domain domain domain\ncontent: a test\nunknown field: 3\nkey:=value\n# sizes: 1 1\n", data, {1, 1, 1}},
        {"byte skip: 5\n", "12345" + data, {1, 1, 1}},
        {"byteskip: -1\n", "something before the data" + data, {1, 1, 1}},
        {"line skip: 0\n", data, {1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        const VolumeFile read = readVolume(directory.write("v.nrrd", header + c.fields + "\n" + c.data));
        expectVolume(read, volume, FileFormat::nrrd, false);
        EXPECT_EQ(read.spacing, c.spacing);
    }
    // Windows line ends, and gzip data in two members, as concatenated .gz files are.
    std::string crlf = header;
    for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
    const std::string gzipHeader = nrrdHeader(volume, false, true);
    for (const std::string& file : {crlf + "\r\n" + data,
                                    gzipHeader + "\n" + gzipped(data.substr(0, 7)) + gzipped(data.substr(7))})
        expectVolume(readVolume(directory.write("v.nrrd", file)), volume, FileFormat::nrrd, false);
}

TEST(TiffFormatTest, ReadsEveryPixelTypeByteOrderAndLayout) {
    const ScratchDirectory directory;
    for (const SampleType type : {SampleType::uint8, SampleType::uint16, SampleType::float32})
        for (const bool bigEndian : {false, true})
            for (const bool tiled : {false, true})
                for (const int compression : {COMPRESSION_NONE, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_LZW}) {
                    SCOPED_TRACE(std::string(sampleTypeName(type)) + (bigEndian ? " big" : " little") +
                                 (tiled ? " tiles" : " strips") + " compression " + std::to_string(compression));
                    // Sides that leave partial strips and tiles.
                    const TestVolume volume = patternVolume(type, {37, 20, 3});
                    writeTiff(directory.path("v.tif"), {volume}, {bigEndian, tiled, compression});
                    const VolumeFile read = readVolume(directory.path("v.tif"));
                    expectVolume(read, volume, FileFormat::tiff, bigEndian);
                }
}

TEST(RawFormatTest, ReadsEveryTypeInTheGivenShape) {
    const ScratchDirectory directory;
    for (const SampleType type : allSampleTypes) {
        SCOPED_TRACE(sampleTypeName(type));
        const TestVolume volume = patternVolume(type, shape);
        ReadOptions options;
        options.rawShape = shape;
        options.rawType = type;
        expectVolume(readVolume(directory.write("v.raw", samplesInOrder(volume, false)), options), volume,
                     FileFormat::raw, false);
        // The format option overrides the extension.
        options.format = FileFormat::raw;
        expectVolume(readVolume(directory.write("v.dat", samplesInOrder(volume, false)), options), volume,
                     FileFormat::raw, false);
    }
}

TEST(FormatNamesTest, NamesReadBackAndExtensionsChooseFormats) {
    for (const SampleType type : allSampleTypes) EXPECT_EQ(sampleTypeNamed(sampleTypeName(type)), type);
    for (const FileFormat format : {FileFormat::npy, FileFormat::nrrd, FileFormat::nifti, FileFormat::tiff, FileFormat::raw})
        EXPECT_EQ(formatNamed(formatName(format)), format);
    EXPECT_EQ(sampleTypeNamed("float"), std::nullopt);
    EXPECT_EQ(formatNamed("tif"), std::nullopt);
    const std::pair<const char*, std::optional<FileFormat>> paths[] = {
        {"a.npy", FileFormat::npy},   {"d/A.NPY", FileFormat::npy},  {"a.nrrd", FileFormat::nrrd},
        {"a.nhdr", FileFormat::nrrd}, {"a.tif", FileFormat::tiff},   {"a.TIFF", FileFormat::tiff},
        {"a.raw", FileFormat::raw},   {"a.npz", std::nullopt},       {"npy", std::nullopt},
        {"d.npy/a", std::nullopt},    {"a.npy.gz", std::nullopt},    {"a.nii", FileFormat::nifti},
        {"a.NII.GZ", FileFormat::nifti}, {"a.gz", std::nullopt},     {"d.nii/a.gz", std::nullopt},
    };
    for (const auto& [path, format] : paths) EXPECT_EQ(formatOfPath(path), format) << path;
}

// Hand-made NIfTI-1 and NIfTI-2 files of every type, plain and compressed, 3-D and 4-D with one volume:
// the samples, the spacing and the placement come through; scaled data arrive scaled, as float64.
TEST(NiftiFormatTest, ReadsBothVersionsEveryTypeAndScaling) {
    const ScratchDirectory directory;
    for (const SampleType type : allSampleTypes)
        for (const int version : {1, 2})
            for (const bool gzip : {false, true})
                for (const bool fourD : {false, true}) {
                    SCOPED_TRACE(std::string(sampleTypeName(type)) + " NIfTI-" + std::to_string(version) +
                                 (gzip ? " gz" : "") + (fourD ? " 4-D" : ""));
                    const TestVolume volume = patternVolume(type, shape);
                    NiftiEdits edits;
                    edits.version = version;
                    if (fourD) edits.dims = {4, shape.x, shape.y, shape.z, 1};
                    const std::string file = niftiFile(volume, edits);
                    const VolumeFile read = readVolume(directory.write(gzip ? "v.nii.gz" : "v.nii", gzip ? gzipped(file) : file));
                    expectVolume(read, volume, FileFormat::nifti, hostBigEndian);
                    EXPECT_EQ(read.encoding, gzip ? "gzip" : "raw");
                    EXPECT_EQ(read.spacing, (std::array<double, 3>{0.5, 0.75, 2.5}));
                    ASSERT_TRUE(read.geometry.nifti);
                    EXPECT_EQ(read.geometry.nifti->sformCode, 2);
                    EXPECT_EQ(read.geometry.nifti->sform[2][3], -7.0);
                }
    TestVolume shorts = patternVolume(SampleType::int16, shape);
    setSample(shorts, 3, -1000);
    NiftiEdits scaled;
    scaled.slope = 0.5;
    scaled.intercept = -1024;
    const VolumeFile read = readVolume(directory.write("s.nii", niftiFile(shorts, scaled)));
    ASSERT_EQ(read.type, SampleType::float64);
    for (const size_t i : {size_t(0), size_t(3), size_t(59)}) {
        double value;
        std::memcpy(&value, read.samples.data() + i * sizeof value, sizeof value);
        int16_t stored;
        std::memcpy(&stored, shorts.samples.data() + i * sizeof stored, sizeof stored);
        EXPECT_EQ(value, stored * 0.5 - 1024) << i;
    }
}

// Labels written as NIfTI carry the scan's placement, and NRRD labels its space fields; other inputs'
// labels get voxel sizes and no placement.
TEST(NiftiFormatTest, WrittenLabelsKeepTheInputsGeometry) {
    const ScratchDirectory directory;
    const TestVolume scan = patternVolume(SampleType::float32, shape);
    const VolumeFile input = readVolume(directory.write("scan.nii", niftiFile(scan, {})));
    const TestVolume labels = patternVolume(SampleType::uint16, shape);
    for (const char* name : {"l.nii", "l.nii.gz"}) {
        writeVolume(directory.path(name), labels.samples.data(), labels.type, shape, false, input.geometry,
                    input.spacing);
        const VolumeFile read = readVolume(directory.path(name));
        expectVolume(read, labels, FileFormat::nifti, hostBigEndian);
        ASSERT_TRUE(read.geometry.nifti);
        const NiftiGeometry& in = *input.geometry.nifti, &out = *read.geometry.nifti;
        EXPECT_EQ(out.qformCode, in.qformCode);
        EXPECT_EQ(out.sformCode, in.sformCode);
        EXPECT_EQ(out.sform, in.sform);
        EXPECT_EQ(out.pixdim, in.pixdim);
        EXPECT_EQ(out.spaceUnits, in.spaceUnits);
    }
    writeVolume(directory.path("plain.nii"), labels.samples.data(), labels.type, shape, false, {}, {1, 2, 3});
    const VolumeFile plain = readVolume(directory.path("plain.nii"));
    EXPECT_EQ(plain.spacing, (std::array<double, 3>{1, 2, 3}));
    EXPECT_EQ(plain.geometry.nifti->sformCode, 0);

    const std::string placed = nrrdHeader(scan, false, false) +
                               "space: left-posterior-superior\nspace directions: (0.5,0,0) (0,0.5,0) (0,0,2)\n"
                               "space origin: (1,2,3)\n\n" + samplesInOrder(scan, false);
    const VolumeFile nrrd = readVolume(directory.write("scan.nrrd", placed));
    writeVolume(directory.path("l.nrrd"), labels.samples.data(), labels.type, shape, false, nrrd.geometry);
    const std::string header = fileBytes(directory.path("l.nrrd"));
    for (const char* line : {"space: left-posterior-superior\n", "space directions: (0.5,0,0) (0,0.5,0) (0,0,2)\n",
                             "space origin: (1,2,3)\n"})
        EXPECT_NE(header.find(line), std::string::npos) << line;
    EXPECT_EQ(readVolume(directory.path("l.nrrd")).spacing, (std::array<double, 3>{0.5, 0.5, 2}));
}

}  // namespace
}  // namespace cvt::formats
