// Volumes a slab of planes at a time: headers without samples, planes read alone equal to those of the
// whole volume in every format, and label files written plane by plane equal to writeVolume's.
#include <gtest/gtest.h>
#include <nifti2_io.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>

#include "formats/volume_reading.h"
#include "formats/volume_slabs.h"
#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

std::string fileBytes(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

// Everything but the samples and the number of planes.
void expectSameDescription(const VolumeFile& read, const VolumeFile& whole) {
    const auto description = [](const VolumeFile& v) {
        return std::tie(v.shape.x, v.shape.y, v.type, v.format, v.bigEndian, v.fortranOrder, v.spacing, v.encoding,
                        v.geometry.nrrdLines);
    };
    EXPECT_EQ(description(read), description(whole));
    const auto placement = [](const VolumeFile& v) {
        const NiftiGeometry g = v.geometry.nifti.value_or(NiftiGeometry{});
        return std::tuple(v.geometry.nifti.has_value(), g.qformCode, g.sformCode, g.quatern, g.qoffset, g.qfac,
                          g.pixdim, g.sform, g.spaceUnits, g.timeUnits);
    };
    EXPECT_EQ(placement(read), placement(whole));
}

// A NIfTI file in the byte order opposite to the host's.
std::string swappedNifti(std::string file, const TestVolume& volume, int version) {
    swap_nifti_header(file.data(), version);
    std::byte* samples = reinterpret_cast<std::byte*>(file.data()) + file.size() - volume.samples.size();
    swapSampleBytes(samples, volume.samples.size() / sampleBytes(volume.type), sampleBytes(volume.type));
    return file;
}

// A format's file of a volume in one of its byte orders and layouts, chosen at random; it returns the
// path, and sets what reading it needs.
struct FormatCase {
    const char* name;
    std::vector<SampleType> types;
    std::function<std::string(const ScratchDirectory&, TestVolume&, std::mt19937&, ReadOptions&)> write;
};

const std::vector<SampleType> everyType(std::begin(allSampleTypes), std::end(allSampleTypes));

const FormatCase formatCases[] = {
    {"npy", everyType,
     [](const ScratchDirectory& directory, TestVolume& volume, std::mt19937& random, ReadOptions&) {
         const bool bigEndian = random() % 2, fortran = random() % 2;
         return directory.write("v.npy", npyFile(volume, bigEndian, fortran, 1 + int(random() % 3)));
     }},
    {"raw", everyType,
     [](const ScratchDirectory& directory, TestVolume& volume, std::mt19937&, ReadOptions& options) {
         options.rawShape = volume.shape;
         options.rawType = volume.type;
         return directory.write("v.raw", samplesInOrder(volume, false));
     }},
    {"nrrd", everyType,
     [](const ScratchDirectory& directory, TestVolume& volume, std::mt19937& random, ReadOptions&) {
         const bool bigEndian = random() % 2;
         const std::string header = nrrdHeader(volume, bigEndian, false) + "byte skip: 3\nspacings: 0.5 1 2\n";
         const std::string data = "abc" + samplesInOrder(volume, bigEndian);
         if (random() % 2) return directory.write("v.nrrd", header + "\n" + data);
         directory.write("v.raw", data);
         return directory.write("v.nhdr", header + "data file: v.raw\n");
     }},
    {"nifti", everyType,
     [](const ScratchDirectory& directory, TestVolume& volume, std::mt19937& random, ReadOptions&) {
         // The library sets non-finite floats to 0; the planes must be read alike.
         if (volume.type == SampleType::float32 || volume.type == SampleType::float64) {
             setSample(volume, random() % volume.samples.size() / sampleBytes(volume.type), NAN);
             setSample(volume, random() % volume.samples.size() / sampleBytes(volume.type), INFINITY);
         }
         NiftiEdits edits;
         edits.version = 1 + int(random() % 2);
         if (random() % 2) edits.slope = 2.5, edits.intercept = -1;
         const std::string file = niftiFile(volume, edits);
         return directory.write("v.nii", random() % 2 ? file : swappedNifti(file, volume, edits.version));
     }},
    {"tiff", {SampleType::uint8, SampleType::uint16, SampleType::float32},
     [](const ScratchDirectory& directory, TestVolume& volume, std::mt19937& random, ReadOptions&) {
         const int compressions[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE};
         const TiffLayout layout{random() % 2 == 1, random() % 2 == 1, compressions[random() % 3]};
         writeTiff(directory.path("v.tif"), {volume}, layout);
         return directory.path("v.tif");
     }},
};

TEST(SlabReadingTest, PlanesOfEveryFormatAreThoseOfTheWholeVolume) {
    const ScratchDirectory directory;
    std::mt19937 random(7);
    for (const FormatCase& format : formatCases)
        for (int trial = 0; trial < 16; ++trial) {
            const SampleType type = format.types[random() % format.types.size()];
            const VolumeShape shape{1 + int(random() % 19), 1 + int(random() % 19), 1 + int(random() % 9)};
            TestVolume volume = patternVolume(type, shape);
            ReadOptions options;
            const std::string path = format.write(directory, volume, random, options);
            SCOPED_TRACE(std::string(format.name) + " " + sampleTypeName(type) + " trial " + std::to_string(trial));
            const VolumeFile whole = readVolume(path, options);
            const VolumeFile header = readVolumeHeader(path, options);
            expectSameDescription(header, whole);
            EXPECT_EQ(header.shape.z, shape.z);
            EXPECT_TRUE(header.samples.empty());
            EXPECT_TRUE(planesReadable(header));
            std::vector<std::pair<int, int>> ranges = {{0, shape.z}};
            for (int z = 0; z < shape.z; ++z) ranges.emplace_back(z, z + 1);
            for (int i = 0; i < 6; ++i) {
                const int begin = int(random() % shape.z);
                ranges.emplace_back(begin, begin + 1 + int(random() % (shape.z - begin)));
            }
            const size_t planeBytes = whole.samples.size() / shape.z;
            for (const auto& [begin, end] : ranges) {
                const VolumeFile planes = readVolumePlanes(path, options, begin, end);
                expectSameDescription(planes, whole);
                EXPECT_EQ(planes.shape.z, end - begin);
                EXPECT_TRUE(planes.samples == std::vector<std::byte>(whole.samples.begin() + begin * planeBytes,
                                                                     whole.samples.begin() + end * planeBytes))
                    << "planes " << begin << " to " << end;
            }
        }
}

// Sparse files of 256 MiB of samples: the header, and one plane, are read within 4 MiB (a NRRD header
// is looked for in the first MiB).
TEST(SlabReadingTest, HeadersAndPlanesAreReadWithoutTheWholeVolume) {
    const ScratchDirectory directory;
    const TestVolume one = patternVolume(SampleType::float32, {1, 1, 1});
    NiftiEdits edits;
    edits.dims = {3, 256, 256, 1024};
    const uint64_t data = uint64_t(256) * 256 * 1024 * 4;
    const std::string niftiHeader = niftiFile(one, edits).substr(0, 352);
    ReadOptions raw;
    raw.rawShape = VolumeShape{256, 256, 1024};
    raw.rawType = SampleType::float32;
    const std::pair<std::string, std::string> files[] = {
        {"big.npy", npyFileWithHeader("{'descr': '<f4', 'fortran_order': False, 'shape': (1024, 256, 256), }", "")},
        {"big.nrrd", "NRRD0004\ntype: float\ndimension: 3\nsizes: 256 256 1024\nencoding: raw\nendian: little\n\n"},
        {"big.nii", niftiHeader},
        {"big.raw", ""},
    };
    for (const auto& [name, header] : files) {
        SCOPED_TRACE(name);
        const std::string path = directory.write(name, header);
        std::filesystem::resize_file(path, header.size() + data);
        const ReadOptions options = name == "big.raw" ? raw : ReadOptions{};
        const AllocationCeiling ceiling(size_t(4) << 20);
        EXPECT_EQ(readVolumeHeader(path, options).shape.z, 1024);
        EXPECT_EQ(readVolumePlanes(path, options, 1000, 1001).samples.size(), size_t(256) * 256 * 4);
    }
}

TEST(SlabReadingTest, RefusesWhatReadVolumeRefusesAndPlanesOutsideTheVolumeOrCompressed) {
    const ScratchDirectory directory;
    const TestVolume volume = patternVolume(SampleType::uint16, {5, 4, 3});
    NiftiEdits shortData;
    shortData.extraData = -1;
    writeTiff(directory.path("mixed.tif"), {volume, patternVolume(SampleType::uint16, {4, 4, 1})}, {});
    const std::string malformed[] = {
        directory.write("short.npy", npyFile(volume, false, false).substr(1)),
        directory.write("short.nrrd",
                        nrrdHeader(volume, false, false) + "\n" + samplesInOrder(volume, false).substr(1)),
        directory.write("short.nii", niftiFile(volume, shortData)),
        directory.path("mixed.tif"),
        directory.write("nothing.nrrd", "NRRD0004\n"),
        directory.path("missing.npy"),
    };
    for (const std::string& path : malformed) {
        const std::string refused = failureOf([&] { readVolume(path); });
        EXPECT_NE(refused, "") << path;
        EXPECT_EQ(failureOf([&] { readVolumeHeader(path); }), refused);
        EXPECT_EQ(failureOf([&] { readVolumePlanes(path, {}, 0, 1); }), refused);
    }

    const std::string npy = directory.write("v.npy", npyFile(volume, false, false));
    for (const auto& [begin, end] : {std::pair{-1, 1}, {0, 0}, {2, 1}, {2, 4}, {3, 3}, {0, 4}})
        EXPECT_EQ(failureOf([&] { readVolumePlanes(npy, {}, begin, end); }),
                  npy + ": planes " + std::to_string(begin) + " to " + std::to_string(end) +
                      " (end excluded) are not a range of the volume's 3 planes");
    const std::string compressed[] = {
        directory.write("v.nii.gz", gzipped(niftiFile(volume, {}))),
        directory.write("v.nrrd", nrrdHeader(volume, false, true) + "\n" + gzipped(samplesInOrder(volume, false))),
    };
    for (const std::string& path : compressed) {
        EXPECT_FALSE(planesReadable(readVolumeHeader(path)));
        EXPECT_EQ(failureOf([&] { readVolumePlanes(path, {}, 0, 3); }),
                  path + ": the gzip-encoded samples cannot be read a plane at a time");
    }
}

// Labels written plane by plane, in any order, after the layout's header: writeVolume's file, byte for byte.
TEST(SlabWritingTest, HeaderAndPlanesWrittenAtOffsetsAreWhatWriteVolumeWrites) {
    const ScratchDirectory directory;
    std::mt19937 random(11);
    VolumeGeometry geometry;
    geometry.nrrdLines = {"space: left-posterior-superior", "space origin: (1,2,3)"};
    geometry.nifti = readVolume(directory.write("g.nii", niftiFile(patternVolume(SampleType::uint8, {2, 2, 2}), {})))
                         .geometry.nifti;
    for (const std::string name : {"w.npy", "w.NPY", "w.nrrd", "w.nii"})
        for (int trial = 0; trial < 12 && !(hostBigEndian && name == "w.nii"); ++trial) {
            const SampleType type = allSampleTypes[random() % std::size(allSampleTypes)];
            const TestVolume volume =
                patternVolume(type, {1 + int(random() % 17), 1 + int(random() % 17), 1 + int(random() % 9)});
            const bool fortran = random() % 2;
            const VolumeGeometry given = random() % 2 ? geometry : VolumeGeometry{};
            const std::array<double, 3> spacing{0.5, 1.5, 2};
            SCOPED_TRACE(name + " " + sampleTypeName(type) + " trial " + std::to_string(trial));
            const std::string path = directory.path(name);
            writeVolume(path, volume.samples.data(), type, volume.shape, fortran, given, spacing);
            const std::string expected = fileBytes(path);
            const auto layout = planeWritableLayout(path, type, volume.shape, fortran, given, spacing);
            ASSERT_TRUE(layout);
            EXPECT_EQ(layout->dataOffset, layout->header.size());
            EXPECT_EQ(layout->header + samplesInOrder(volume, false), expected);

            directory.write(name, layout->header);
            std::vector<int> planes(volume.shape.z);
            std::iota(planes.begin(), planes.end(), 0);
            std::shuffle(planes.begin(), planes.end(), random);
            const size_t planeBytes = volume.samples.size() / volume.shape.z;
            for (const int z : planes)
                writePlanesAt(path, layout->dataOffset + z * planeBytes, volume.samples.data() + z * planeBytes, type,
                              planeBytes);
            EXPECT_EQ(fileBytes(path), expected);
        }
    EXPECT_FALSE(planeWritableLayout(directory.path("w.nii.gz"), SampleType::uint16, {2, 2, 2}, false));
    // Refused as writeVolume refuses them.
    for (const auto& [name, shape] : {std::pair{"w.raw", VolumeShape{2, 2, 2}}, {"w.nhdr", {2, 2, 2}},
                                      {"w.tif", {2, 2, 2}}, {"w.npy", {2, 0, 2}}, {"w.nii", {0, 1, 1}}}) {
        const std::string path = directory.path(name);
        const std::string refused = failureOf([&] { writeVolume(path, "", SampleType::uint16, shape, false); });
        EXPECT_NE(refused, "");
        EXPECT_EQ(failureOf([&] { planeWritableLayout(path, SampleType::uint16, shape, false); }), refused);
    }
}

TEST(SlabWritingTest, WritingPlanesFailsNamingThePath) {
    const ScratchDirectory directory;
    const uint32_t samples[2] = {1, 2};
    const std::string file = directory.write("f.npy", "");
    // A missing file, a directory, and bytes that are not whole samples.
    const std::pair<std::string, size_t> cases[] = {
        {directory.path("none.npy"), 8}, {directory.path(""), 8}, {file, 6}};
    for (const auto& [path, bytes] : cases) {
        const std::string message = failureOf([&] { writePlanesAt(path, 0, samples, SampleType::uint32, bytes); });
        EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
    }
}

}  // namespace
}  // namespace cvt::formats
