// Samples as density and as labels: exact conversion of every type, and the first offending voxel
// named by its coordinates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

constexpr VolumeShape shape{6, 7, 8};

VolumeFile asFile(const TestVolume& volume) {
    VolumeFile file;
    file.shape = volume.shape;
    file.type = volume.type;
    file.samples = volume.samples;
    return file;
}

size_t indexOf(int x, int y, int z) { return size_t(x) + shape.x * (y + size_t(shape.y) * z); }

TEST(DensityFormatTest, ConvertsEveryTypeExactly) {
    for (const SampleType type : allSampleTypes) {
        const std::vector<float> density = densityValues(asFile(patternVolume(type, shape)), "d.npy");
        ASSERT_EQ(density.size(), size_t(6 * 7 * 8));
        for (size_t i = 0; i < density.size(); ++i)
            ASSERT_EQ(density[i], float(patternValue(type, i))) << sampleTypeName(type) << " " << i;
    }
}

TEST(DensityFormatTest, NamesTheFirstInvalidVoxelAndItsValue) {
    const double infinity = std::numeric_limits<double>::infinity();
    const struct {
        SampleType type;
        double value;
        std::string expected;
    } cases[] = {
        {SampleType::float32, -0.5, "d.npy: negative value -0.5 at voxel (3, 4, 5)"},
        {SampleType::float32, NAN, "d.npy: value NaN at voxel (3, 4, 5)"},
        {SampleType::float32, infinity, "d.npy: infinite value inf at voxel (3, 4, 5)"},
        {SampleType::float64, -infinity, "d.npy: infinite value -inf at voxel (3, 4, 5)"},
        {SampleType::float64, 1e300, "d.npy: value 1e+300 beyond float range at voxel (3, 4, 5)"},
        {SampleType::float64, -1e-300, "d.npy: negative value -1e-300 at voxel (3, 4, 5)"},
        {SampleType::int16, -7, "d.npy: negative value -7 at voxel (3, 4, 5)"},
        {SampleType::int32, -2147483648.0, "d.npy: negative value -2147483648 at voxel (3, 4, 5)"},
    };
    for (const auto& c : cases) {
        TestVolume volume = patternVolume(c.type, shape);
        setSample(volume, indexOf(3, 4, 5), c.value);
        setSample(volume, indexOf(5, 6, 7), c.value);  // a later one is not named
        EXPECT_EQ(failureOf([&] { densityValues(asFile(volume), "d.npy"); }), c.expected);
    }
}

// Every format hands its samples to the density's checks as stored: a NaN or an infinity is refused
// and named, never read as something else (the NIfTI library would read them as 0).
TEST(DensityFormatTest, EveryFormatRefusesNaNAndInfinityNamingTheVoxel) {
    const ScratchDirectory directory;
    for (const double value : {double(NAN), std::numeric_limits<double>::infinity()}) {
        TestVolume volume = patternVolume(SampleType::float32, shape);
        setSample(volume, indexOf(3, 4, 5), value);
        writeTiff(directory.path("d.tif"), {volume}, TiffLayout{});
        directory.write("d.raw", samplesInOrder(volume, false));
        ReadOptions raw;
        raw.rawShape = shape;
        raw.rawType = SampleType::float32;
        const std::pair<std::string, ReadOptions> files[] = {
            {directory.write("d.npy", npyFile(volume, true, false)), {}},
            {directory.write("d.nrrd", nrrdHeader(volume, true, false) + "\n" + samplesInOrder(volume, true)), {}},
            {directory.write("g.nrrd", nrrdHeader(volume, false, true) + "\n" + gzipped(samplesInOrder(volume, false))), {}},
            {directory.write("d.nii", niftiFile(volume, {})), {}},
            {directory.write("d.nii.gz", gzipped(niftiFile(volume, {}))), {}},
            {directory.path("d.tif"), {}},
            {directory.path("d.raw"), raw}};
        for (const auto& [path, options] : files)
            EXPECT_EQ(failureOf([&] { densityValues(readVolume(path, options), "d"); }),
                      std::isnan(value) ? "d: value NaN at voxel (3, 4, 5)" : "d: infinite value inf at voxel (3, 4, 5)")
                << path;
    }
}

TEST(DensityFormatTest, AcceptsNegativeZeroButNotAllZero) {
    TestVolume volume = patternVolume(SampleType::float32, shape);
    setSample(volume, 7, -0.0);
    EXPECT_EQ(failureOf([&] { densityValues(asFile(volume), "d.npy"); }), "");
    for (const SampleType type : {SampleType::float32, SampleType::uint8, SampleType::float64}) {
        TestVolume zeros = patternVolume(type, shape);
        std::fill(zeros.samples.begin(), zeros.samples.end(), std::byte{0});
        EXPECT_EQ(failureOf([&] { densityValues(asFile(zeros), "d.npy"); }), "d.npy: every density value is zero");
    }
    VolumeFile truncated = asFile(volume);
    truncated.samples.pop_back();
    EXPECT_NE(failureOf([&] { densityValues(truncated, "d.npy"); }), "");
}

// Hounsfield units and the like: a window clips and shifts, a threshold zeroes what lies below it, and
// without either a negative value is refused with a hint at both.
TEST(DensityFormatTest, MapsIntensitiesThroughAWindowOrAThreshold) {
    TestVolume ct = patternVolume(SampleType::int16, shape);
    const double values[] = {-1000, -100, -99, 0, 40, 300, 301, 3000};
    for (size_t i = 0; i < std::size(values); ++i) setSample(ct, i, values[i]);
    DensityMapping window;
    window.window = std::array<double, 2>{-100, 300};
    DensityMapping clip;
    clip.clipBelow = 40;
    const std::vector<float> windowed = densityValues(asFile(ct), "ct.nii", window);
    const std::vector<float> clipped = densityValues(asFile(ct), "ct.nii", clip);
    const float expectWindowed[] = {0, 0, 1, 100, 140, 400, 400, 400};
    const float expectClipped[] = {0, 0, 0, 0, 40, 300, 301, 3000};
    for (size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(windowed[i], expectWindowed[i]) << values[i];
        EXPECT_EQ(clipped[i], expectClipped[i]) << values[i];
    }
    for (size_t i = std::size(values); i < windowed.size(); ++i)
        EXPECT_EQ(windowed[i], float(std::min(patternValue(SampleType::int16, i), 300.0) + 100)) << i;

    DensityMapping hinted;
    hinted.negativeHint = "try --window";
    EXPECT_EQ(failureOf([&] { densityValues(asFile(ct), "ct.nii", hinted); }),
              "ct.nii: negative value -1000 at voxel (0, 0, 0); try --window");
    DensityMapping above;
    above.window = std::array<double, 2>{40000, 50000};
    EXPECT_EQ(failureOf([&] { densityValues(asFile(ct), "ct.nii", above); }),
              "ct.nii: every density value is zero after the mapping");
    DensityMapping reversed;
    reversed.window = std::array<double, 2>{300, -100};
    EXPECT_NE(failureOf([&] { densityValues(asFile(ct), "ct.nii", reversed); }).find("low end"), std::string::npos);
    // NaN stays refused whatever the mapping.
    TestVolume floats = patternVolume(SampleType::float32, shape);
    setSample(floats, 5, NAN);
    EXPECT_EQ(failureOf([&] { densityValues(asFile(floats), "d.npy", window); }), "d.npy: value NaN at voxel (5, 0, 0)");
}

TEST(LabelFormatTest, ReadsUnsignedTypesOnly) {
    for (const SampleType type : allSampleTypes) {
        const VolumeFile file = asFile(patternVolume(type, shape));
        if (type == SampleType::uint8 || type == SampleType::uint16 || type == SampleType::uint32) {
            const std::vector<uint32_t> labels = labelValues(file, "l.npy");
            for (size_t i = 0; i < labels.size(); ++i) ASSERT_EQ(labels[i], uint32_t(patternValue(type, i)));
        } else {
            EXPECT_EQ(failureOf([&] { labelValues(file, "l.npy"); }),
                      std::string("l.npy: labels must be unsigned integers (uint8, uint16 or uint32), not ") +
                          sampleTypeName(type));
        }
    }
}

}  // namespace
}  // namespace cvt::formats
