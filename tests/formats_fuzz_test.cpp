// The parsers against damaged files: every truncation and thousands of random mutations of valid files
// of each format. Each read must give a consistent volume or throw cvt::Failure: never crash, hang, or
// allocate anything near the sizes that a damaged header may declare.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <new>
#include <random>

#include "formats/sites_csv.h"
#include "formats_test_files.h"

namespace cvt::formats {
namespace {

using namespace testing;

struct Seed {
    std::string name, bytes;
};

std::vector<Seed> seeds(const ScratchDirectory& directory) {
    const TestVolume shorts = patternVolume(SampleType::uint16, {5, 4, 3});
    const TestVolume doubles = patternVolume(SampleType::float64, {3, 2, 4});
    const TestVolume floats = patternVolume(SampleType::float32, {6, 5, 2});
    const std::string shortData = samplesInOrder(shorts, true);
    directory.write("data.raw", shortData);
    std::vector<Seed> result = {
        {"a.npy", npyFile(shorts, false, false, 1)},
        {"a.npy", npyFile(doubles, true, true, 2)},
        {"a.npy", npyFile(floats, false, false, 3)},
        {"a.nrrd", nrrdHeader(floats, true, false) + "spacings: 1 2 nan\n\n" + samplesInOrder(floats, true)},
        {"a.nrrd", nrrdHeader(shorts, false, true) + "\n" + gzipped(samplesInOrder(shorts, false))},
        {"a.nhdr", nrrdHeader(shorts, true, false) + "space directions: (1,0,0) (0,2,0) (0,0,1)\ndata file: data.raw\n"},
        {"a.csv", "id,x,y,z,mass,voxels\n0,1,2,3,0.5,7\n1,4,5,6,1e3,9\n"},
        {"a.nii", niftiFile(floats, {})},
        {"a.nii", niftiFile(shorts, NiftiEdits{2, {4, 5, 4, 3, 1}, 0, 2.0, -3.0, 0})},
        {"a.nii.gz", gzipped(niftiFile(doubles, {}))},
    };
    const std::pair<TestVolume, TiffLayout> tiffs[] = {
        {patternVolume(SampleType::uint8, {7, 5, 3}), {}},
        {shorts, {true, true, COMPRESSION_ADOBE_DEFLATE}},
        {floats, {false, false, COMPRESSION_LZW}},
    };
    for (const auto& [volume, layout] : tiffs) {
        writeTiff(directory.path("seed.tif"), {volume}, layout);
        std::FILE* file = std::fopen(directory.path("seed.tif").c_str(), "rb");
        std::string bytes(1 << 16, '\0');
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
        std::fclose(file);
        result.push_back({"a.tif", bytes});
    }
    return result;
}

// The files are a few KiB: nothing near a declared gigabyte may be allocated to read them.
constexpr size_t fuzzAllocationLimit = size_t(16) << 20;

// A damaged copy: cut short, bytes overwritten (mostly in the header), a number in the text
// replaced by an extreme one, or a span deleted or repeated.
std::string mutated(std::string bytes, std::mt19937& random) {
    const auto below = [&](size_t n) { return n == 0 ? 0 : size_t(random() % n); };
    switch (random() % 4) {
        case 0: bytes.resize(below(bytes.size())); break;
        case 1:
            for (int i = 0, n = 1 + int(below(4)); i < n; ++i) {
                const size_t at = below(random() % 2 ? std::min<size_t>(bytes.size(), 256) : bytes.size());
                bytes[at] = random() % 3 ? char(random()) : "\0\xff\n :,("[below(7)];
            }
            break;
        case 2: {
            // Numbers in the header (not digits within words: "NRRD0004", "<u2") replaced by extremes,
            // several at once, so that shapes get large.
            const char* extremes[] = {"0", "1", "-1", "1000", "1024", "1024", "1025", "4294967296",
                                      "18446744073709551615", "99999999999999999999999"};
            for (size_t at = 0; (at = bytes.find_first_of("0123456789", at)) < std::min<size_t>(bytes.size(), 200);) {
                const size_t end = std::min(bytes.find_first_not_of("0123456789", at), bytes.size());
                if ((at > 0 && std::isalnum(static_cast<unsigned char>(bytes[at - 1]))) || random() % 2) {
                    at = end;
                    continue;
                }
                const char* extreme = extremes[below(10)];
                bytes.replace(at, end - at, extreme);
                at += std::strlen(extreme);
            }
            break;
        }
        default: {
            const size_t at = below(bytes.size()), span = std::min(1 + below(16), bytes.size() - at);
            if (random() % 2)
                bytes.erase(at, span);
            else
                bytes.insert(at, bytes.substr(at, span));
        }
    }
    return bytes;
}

// Reads as cvt-volume would; whatever reads must be consistent.
void readLikeTheProgram(const std::string& path) {
    if (path.ends_with(".csv")) {
        readSitesCsv(path);
        return;
    }
    const VolumeFile volume = readVolume(path);
    ASSERT_EQ(volume.samples.size(), size_t(volume.shape.x) * volume.shape.y * volume.shape.z * sampleBytes(volume.type));
    densityValues(volume, path);
}

TEST(FormatFuzzTest, DamagedFilesReadOrFailCleanly) {
    const ScratchDirectory directory;
    std::mt19937 random(12345);
    size_t reads = 0, failures = 0;
    for (const Seed& seed : seeds(directory)) {
        std::vector<std::string> variants;
        for (size_t length = 0; length < seed.bytes.size(); length += 1 + seed.bytes.size() / 400)
            variants.push_back(seed.bytes.substr(0, length));
        for (int i = 0; i < 800; ++i) variants.push_back(mutated(seed.bytes, random));
        for (const std::string& bytes : variants) {
            const std::string path = directory.write(seed.name, bytes);
            try {
                const AllocationCeiling ceiling(fuzzAllocationLimit);
                ++reads;
                readLikeTheProgram(path);
            } catch (const Failure& failure) {
                ++failures;
                EXPECT_EQ(std::string(failure.what()).find('\n'), std::string::npos) << failure.what();
            } catch (const std::exception& error) {
                ADD_FAILURE() << seed.name << " of " << bytes.size() << " bytes: " << error.what();
            }
        }
    }
    // Most damaged files fail; some (a changed sample, say) still read.
    EXPECT_GT(failures, reads / 2);
    EXPECT_LT(failures, reads);
}

}  // namespace
}  // namespace cvt::formats
