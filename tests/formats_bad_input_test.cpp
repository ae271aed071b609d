// Malformed and unsupported files, each refused with a one-line message that names the file and the
// problem; and the variations of well-formed headers that must still be accepted.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <climits>
#include <filesystem>

#include <nifti2_io.h>

#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

struct Case {
    std::string name;   // of the file
    std::string bytes;  // its contents
    std::string expected;  // in the message; "" where the file is read
    int maxSide = 1024;
};

// Writes each case's file, reads it, and checks the outcome. Every message starts with the path.
void expectOutcomes(const std::vector<Case>& cases, const ScratchDirectory& directory, ReadOptions options = {}) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " expecting '" + c.expected + "'");
        const std::string path = directory.write(c.name, c.bytes);
        options.maxSide = c.maxSide;
        const std::string message = failureOf([&] {
            const AllocationCeiling ceiling(size_t(16) << 20);
            readVolume(path, options);
        });
        if (c.expected.empty()) {
            EXPECT_EQ(message, "");
            continue;
        }
        EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}


std::string npy(const std::string& dict, size_t dataBytes = 240, int version = 1) {
    return npyFileWithHeader(dict, std::string(dataBytes, '\1'), version);
}

std::string npyShape(const std::string& shape, size_t dataBytes = 240) {
    return npy("{'descr': '<f4', 'fortran_order': False, 'shape': " + shape + ", }", dataBytes);
}

TEST(NpyFormatTest, RefusesMalformedHeadersAndAcceptsNumpysVariations) {
    const ScratchDirectory directory;
    const std::string good = npyShape("(3, 4, 5)");
    std::string version4 = good, badMagic = good;
    version4[6] = 4;
    badMagic[1] = 'n';
    expectOutcomes(
        {
            {"a.npy", good, ""},
            {"a.npy", npy("{\"shape\":(3,4,5,),\"descr\":\"<f4\",\"fortran_order\":False}"), ""},
            {"a.npy", npy("{ 'descr' : '<f4' ,\n 'fortran_order' : True , 'shape' : ( 5L , 4L , 3L ) , }"), ""},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4, 5), }", 240, 3), ""},
            {"a.npy", good.substr(0, 5), "not a .npy file"},
            {"a.npy", good.substr(0, 9), "the file ends inside the .npy preamble"},
            {"a.npy", badMagic, "not a .npy file"},
            {"a.npy", version4, "unsupported .npy format version 4.0"},
            {"a.npy", good.substr(0, 40), "truncated header"},
            {"a.npy", good.substr(0, good.size() - 1), "header declares 240 bytes of data but the file holds 239"},
            {"a.npy", good + "!", "header declares 240 bytes of data but the file holds 241"},
            {"a.npy", npyShape("(12, 5)"), ""},
            {"a.npy", npyShape("(60,)"), "shape (60,) has 1 dimensions; an image has 2, a volume 3"},
            {"a.npy", npyShape("(1, 3, 4, 5)"), "has 4 dimensions"},
            {"a.npy", npyShape("(3, 0, 5)", 0), "shape (3, 0, 5) has a side of 0"},
            {"a.npy", npyShape("(1, 1, 1025)", 4100), "has a side of 1025, above the limit of 1024"},
            {"a.npy", npyShape("(1024, 1024, 1024)"), "header declares 4294967296 bytes of data but the file holds 240"},
            {"a.npy", npyShape("(2, 3, 5)", 120), "has a side of 5, above the limit of 4", 4},
            {"a.npy", npyShape("(99999999999999999999, 1, 1)"), "too large to count"},
            {"a.npy", npyShape("(2000000000, 2000000000, 2000000000)"), "more samples than memory can address", INT_MAX},
            {"a.npy", npy("{'descr': '<i8', 'fortran_order': False, 'shape': (3, 4, 5), }", 480), "unsupported dtype '<i8'"},
            {"a.npy", npy("{'descr': '<i8', 'fortran_order': False, 'shape': (3, 4, 5), }", 480), "unsupported dtype '<i8'"},
            {"a.npy", npy("{'descr': '<f4', 'shape': (3, 4, 5), }"), "no 'fortran_order'"},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4, 5), 'x': 1}"), "unknown key 'x'"},
            {"a.npy", npy("{'descr': '<f4', 'descr': '<f4', 'fortran_order': False, 'shape': (3, 4, 5)}"), "repeated key"},
            {"a.npy", npy("{'descr': '<f4' 'fortran_order': False, 'shape': (3, 4, 5)}"), "expected ',' or '}'"},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': false, 'shape': (3, 4, 5)}"), "expected True or False"},
            {"a.npy", npy("{'descr': '<f\\4', 'fortran_order': False, 'shape': (3, 4, 5)}"), "without escapes"},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, -4, 5)}"), "non-negative integer"},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4, 5)} x"), "the end of the header"},
            {"a.npy", npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 4, 5)"), "expected ',' or '}'"},
        },
        directory);
}

TEST(NrrdFormatTest, RefusesMalformedHeadersAndData) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::float32, {5, 4, 3});
    const std::string header = nrrdHeader(volume, false, false), data = samplesInOrder(volume, false);
    const std::string gzipHeader = nrrdHeader(volume, false, true), compressed = gzipped(data);
    const auto replaced = [&](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    directory.write("short.raw", data.substr(1));
    expectOutcomes(
        {
            {"a.nrrd", header + "\n" + data, ""},
            {"a.nrrd", "P5\n5 4\n255\n" + data, "not a NRRD file"},
            {"a.nrrd", replaced(header, "float", "int64") + "\n" + data, "unsupported type 'int64'"},
            {"a.nrrd", replaced(header, "float", "int64") + "\n" + data, "unsupported type 'int64'"},
            {"a.nrrd", replaced(header, "encoding: raw", "encoding: ascii") + "\n" + data, "unsupported encoding 'ascii'"},
            {"a.nrrd", replaced(header, "endian: little\n", "") + "\n" + data, "no 'endian' field"},
            {"a.nrrd", replaced(header, "type: float\n", "") + "\n" + data, "no 'type' field"},
            {"a.nrrd", replaced(header, "dimension: 3\nsizes: 5 4 3", "dimension: 2\nsizes: 20 3") + "\n" + data, ""},
            {"a.nrrd", replaced(header, "dimension: 3\nsizes: 5 4 3", "dimension: 1\nsizes: 60") + "\n" + data,
             "shape (60,) has 1 dimensions"},
            {"a.nrrd", replaced(header, "dimension: 3\nsizes: 5 4 3", "dimension: 2\nsizes: 20 3") + "spacings: 1 1 1\n\n" + data,
             "spacings for 3 axes, sizes for 2"},
            {"a.nrrd", replaced(header, "dimension: 3\nsizes: 5 4 3", "dimension: 4\nsizes: 5 4 3 1") + "\n" + data,
             "has 4 dimensions"},
            {"a.nrrd", replaced(header, "dimension: 3", "dimension: 2") + "\n" + data, "dimension 2 but 3 sizes"},
            {"a.nrrd", replaced(header, "sizes: 5 4 3", "sizes: 5 0 3") + "\n", "has a side of 0"},
            {"a.nrrd", replaced(header, "sizes: 5 4 3", "sizes: 5 4 2000") + "\n", "above the limit of 1024"},
            {"a.nrrd", replaced(header, "sizes: 5 4 3", "sizes: 5 four 3") + "\n", "line 5: expected a number"},
            {"a.nrrd", header + "sizes: 5 4 3\n\n" + data, "field 'sizes' given twice"},
            {"a.nrrd", header + "spacings: 1 1\n\n" + data, "spacings for 2 axes"},
            {"a.nrrd", header + "line skip: 1\n\n" + data, "line skip is not supported"},
            {"a.nrrd", header + "byte skip: 9\n\n" + data, "holds 231"},
            {"a.nrrd", header + "a line without a colon\n\n" + data, "expected 'field: value'"},
            {"a.nrrd", replaced(header, "sizes: 5 4 3", "sizes: 1024 1024 1024") + "\n" + data, "holds 240"},
            {"a.nrrd", header + "\n" + data.substr(1), "header declares 240 bytes of data but the file holds 239"},
            {"a.nrrd", header + "\n" + data + "?", "header declares 240 bytes of data but the file holds 241"},
            {"a.nrrd", header, "names no data file"},
            {"a.nhdr", header + "data file: missing.raw\n", "data file " + directory.path("missing.raw") + ": cannot open"},
            {"a.nhdr", header + "data file: short.raw\n", "but data file " + directory.path("short.raw") + " holds 239"},
            {"a.nhdr", header + "data file: LIST\nshort.raw\n", "only a single data file"},
            {"a.nrrd", gzipHeader + "\n" + compressed.substr(0, compressed.size() - 12), "gzip data end early"},
            {"a.nrrd", gzipHeader + "\n" + gzipped(data + "?"), "gzip data inflate to more than the declared 240 bytes"},
            {"a.nrrd", gzipHeader + "\n" + gzipped(data.substr(1)), "gzip data inflate to 239 bytes"},
            {"a.nrrd", gzipHeader + "\n" + compressed + "junk", "corrupt gzip data"},
            {"a.nrrd", gzipHeader + "byte skip: 2\n\n??" + compressed, "byte skip with gzip encoding is not supported"},
            {"a.nrrd", replaced(gzipHeader, "sizes: 5 4 3", "sizes: 1000 1000 1000") + "\n" + compressed,
             "more than the"},
        },
        directory);
}

TEST(TiffFormatTest, RefusesPagesOfOtherKinds) {
    const ScratchDirectory directory;
    const TestVolume bytes = patternVolume(SampleType::uint8, {5, 4, 2});
    const std::vector<std::pair<std::vector<TestVolume>, TiffLayout>> files = {
        {{bytes}, {}},
        {{bytes}, {false, false, COMPRESSION_NONE, 3}},
        {{patternVolume(SampleType::int16, {5, 4, 2})}, {}},
        {{patternVolume(SampleType::float64, {5, 4, 2})}, {}},
        {{bytes, patternVolume(SampleType::uint8, {6, 4, 1})}, {}},
        {{bytes, patternVolume(SampleType::uint16, {5, 4, 1})}, {}},
        {{patternVolume(SampleType::uint8, {5, 4, 5})}, {}},
    };
    const char* expected[] = {
        "",
        "page 0 has 3 samples per pixel",
        "page 0 has 16-bit signed samples",
        "page 0 has 64-bit float samples",
        "page 2 is 6x4, page 0 is 5x4",
        "page 2 holds uint16, page 0 uint8",
        "shape (5, 4, 5) has a side of 5, above the limit of 4",
    };
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(expected[i]);
        writeTiff(directory.path("a.tif"), files[i].first, files[i].second);
        ReadOptions options;
        options.maxSide = 4 + (i < 6);
        const std::string message = failureOf([&] { readVolume(directory.path("a.tif"), options); });
        EXPECT_NE(message.find(expected[i]), std::string::npos) << message;
    }
    // Truncated files, and one that is no TIFF at all.
    writeTiff(directory.path("a.tif"), {bytes}, {});
    std::string whole;
    {
        std::FILE* file = std::fopen(directory.path("a.tif").c_str(), "rb");
        char buffer[4096];
        whole.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
        std::fclose(file);
    }
    expectOutcomes({{"b.tif", whole.substr(0, 30), "not a readable TIFF file"},
                    {"b.tif", whole.substr(0, whole.size() - 40), "cannot read page 1 (TIFFAdvanceDirectory: Error fetching"},
                    {"b.tif", "II*\0 this is not a TIFF file", "not a readable TIFF file"},
                    {"b.tif", "plain text", "not a readable TIFF file"}},
                   directory);
}

TEST(RawFormatTest, RefusesMissingOptionsAndSizesThatDoNotMatch) {
    const ScratchDirectory directory;
    const Case cases[] = {
        {"a.raw", std::string(120, '\0'), ""},
        {"a.raw", std::string(119, '\0'), "shape 5x4x3 of uint16 needs 120 bytes but the file holds 119"},
        {"a.raw", std::string(121, '\0'), "holds 121"},
    };
    ReadOptions options;
    options.rawShape = VolumeShape{5, 4, 3};
    options.rawType = SampleType::uint16;
    expectOutcomes({std::begin(cases), std::end(cases)}, directory, options);
    options.rawShape = VolumeShape{1024, 1024, 1024};
    expectOutcomes({{"a.raw", "", "shape 1024x1024x1024 of uint16 needs 2147483648 bytes but the file holds 0"}}, directory,
                   options);
    options.rawShape = VolumeShape{5, -4, 3};
    expectOutcomes({{"a.raw", "", "negative side"}}, directory, options);
    options.rawShape.reset();
    expectOutcomes({{"a.raw", "", "a raw volume needs its shape and sample type"}}, directory, options);
}

TEST(FormatFileTest, RefusesMissingFilesDirectoriesAndUnknownExtensions) {
    const ScratchDirectory directory;
    for (const char* name : {"a.npy", "a.nrrd", "a.nii", "a.nii.gz", "a.tif", "a.raw"}) {
        ReadOptions options;
        options.rawShape = VolumeShape{1, 1, 1};
        options.rawType = SampleType::uint8;
        EXPECT_EQ(failureOf([&] { readVolume(directory.path(name), options); }),
                  directory.path(name) + ": cannot open: No such file or directory");
        std::filesystem::create_directory(directory.path(name));
        EXPECT_EQ(failureOf([&] { readVolume(directory.path(name), options); }),
                  directory.path(name) + ": is a directory");
    }
    const std::string path = directory.write("a.xyz", "");
    EXPECT_EQ(failureOf([&] { readVolume(path); }),
              path + ": unknown volume file extension: expected .npy, .nrrd, .nhdr, .nii, .nii.gz, .tif, .tiff or .raw");
}

TEST(NiftiFormatTest, RefusesDamagedFilesAndVolumesOfAnotherKind) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::float32, {6, 5, 4});
    const auto nifti = [&](auto edit) {
        NiftiEdits edits;
        edit(edits);
        return niftiFile(volume, edits);
    };
    const std::string good = nifti([](NiftiEdits&) {});
    std::string badGzip = gzipped(good);
    for (size_t at = badGzip.size() - 40; at < badGzip.size() - 30; ++at) badGzip[at] ^= 0x55;
    expectOutcomes(
        {
            {"a.nii", good, ""},
            {"a.nii", good.substr(0, 200), "not a NIfTI-1 or NIfTI-2 file"},
            {"a.nii", "not a header at all", "not a NIfTI-1 or NIfTI-2 file"},
            {"a.nii", nifti([](NiftiEdits& e) { e.extraData = -5; }), "of data from byte 352 but the file holds"},
            {"a.nii.gz", gzipped(good).substr(0, gzipped(good).size() - 40), "gzip stream is corrupt or ends early"},
            {"a.nii.gz", badGzip, "damaged"},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {4, 6, 5, 4, 3}; }), "holds 3 volumes along its 4th axis"},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {2, 6, 5}; }), ""},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {1, 30}; }), "1 dimensions; an image has 2, a volume 3"},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {3, 6, 5, 0}; }), "a side of 0 on axis 3"},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {9, 6, 5, 4}; }), "declares 9 dimensions"},
            {"a.nii", nifti([](NiftiEdits& e) { e.dims = {3, 6, 5, 2000}; }), "a side of 2000 on axis 3, outside 1 to 1024"},
            {"a.nii", nifti([](NiftiEdits& e) { e.datatype = NIFTI_TYPE_COMPLEX64; }), "unsupported data type"},
            {"a.nii", nifti([](NiftiEdits& e) { e.datatype = NIFTI_TYPE_RGB24; }), "unsupported data type"},
            {"a.nii", nifti([](NiftiEdits& e) { e.version = 2, e.dims = {3, 1 << 20, 1 << 20, 1 << 20}; }),
             "outside 1 to 1024"},
        },
        directory);
}

}  // namespace
}  // namespace cvt::formats
