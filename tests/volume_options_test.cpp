// cvt-volume's command line: what each option sets, and which command lines are usage errors.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "volume/options.h"

namespace cvt::volume {
namespace {

// A file that exists wherever the tests run, to stand for a density or sites file.
const std::string& existingFile() {
    static const std::string path = [] {
        const std::string name = testing::TempDir() + "cvt-volume-options-test.raw";
        std::ofstream(name) << "any";
        return name;
    }();
    return path;
}

ParsedCommandLine parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "cvt-volume");
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ParsedCommandLine parsed = parseCommandLine(int(argv.size()), argv.data());
    testing::internal::GetCapturedStdout();
    const std::string error = testing::internal::GetCapturedStderr();
    if (parsed.exitStatus == 2) {
        EXPECT_EQ(error.find('\n'), error.size() - 1) << "one line: " << error;
        EXPECT_NE(error.find("--help"), std::string::npos) << "a hint: " << error;
    }
    return parsed;
}

TEST(VolumeOptionsTest, DefaultsAreTheProgramsOwnRun) {
    const ParsedCommandLine parsed = parse({});
    ASSERT_TRUE(parsed.options);
    const VolumeOptions& o = *parsed.options;
    EXPECT_FALSE(o.densityPath);
    EXPECT_EQ(o.sites, 10000);
    EXPECT_EQ(o.maxIterations, 10000);
    EXPECT_EQ(o.levels, 1);
    EXPECT_EQ(o.seed, 0u);
    EXPECT_EQ(o.effectiveSeeding(), Seeding::uniform);
    EXPECT_FALSE(o.connected);
    EXPECT_TRUE(o.outputPaths().empty());
}

TEST(VolumeOptionsTest, EveryOptionReachesItsField) {
    const ParsedCommandLine parsed =
        parse({existingFile(), "--format", "raw", "--raw-shape", "10,20,30", "--raw-type", "uint16", "--sites", "7",
               "--max-iterations", "0", "--levels", "2", "--seed", "99", "--labels", "l.nrrd", "--sites-out", "s.csv",
               "--text", "-", "--summary", "r.json", "--preview", "p.png", "--preview-at", "1,2,3", "-q",
               "--fast-atomics", "--connected", "--adjacency", "a.csv"});
    ASSERT_TRUE(parsed.options);
    const VolumeOptions& o = *parsed.options;
    EXPECT_EQ(o.read.format, formats::FileFormat::raw);
    ASSERT_TRUE(o.read.rawShape);
    EXPECT_EQ(o.read.rawShape->x, 10);
    EXPECT_EQ(o.read.rawShape->z, 30);
    EXPECT_EQ(o.read.rawType, formats::SampleType::uint16);
    EXPECT_EQ(o.sites, 7);
    EXPECT_TRUE(o.sitesGiven);
    EXPECT_EQ(o.maxIterations, 0);
    EXPECT_EQ(o.levels, 2);
    EXPECT_EQ(o.seed, 99u);
    EXPECT_EQ(o.effectiveSeeding(), Seeding::density);  // a file's default
    EXPECT_EQ(o.previewAt, (std::array<int, 3>{1, 2, 3}));
    EXPECT_TRUE(o.quiet);
    EXPECT_FALSE(o.deterministic);
    EXPECT_TRUE(o.connected);
    EXPECT_EQ(o.outputPaths(), (std::vector<std::string>{"l.nrrd", "s.csv", "r.json", "p.png", "a.csv"}));  // not "-"
}

TEST(VolumeOptionsTest, UsageErrorsExitWithTwoAndOneLine) {
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--sites", "0"},
             {"--sites", "ten"},
             {"--max-iterations", "-1"},
             {"--levels", "0"},
             {"--seeding", "random"},
             {"--format", "npy"},                                      // no file to read
             {existingFile(), "--format", "raw"},                    // raw without a shape
             {existingFile(), "--format", "raw", "--raw-shape", "1,2", "--raw-type", "uint8"},
             {"--labels", "labels.txt"},                               // neither .npy nor .nrrd
             {"--preview-at", "1,2,3"},                                // without --preview
             {"--sites-in", existingFile(), "--sites", "5"},
             {"--deterministic", "--fast-atomics"},
             {"--adjacency", "same.csv", "--sites-out", "same.csv"},  // one file for two outputs
             {"--adjacency"},
             {"no-such-file.npy"},
             {"--no-such-option"},
         }) {
        const ParsedCommandLine parsed = parse(bad);
        EXPECT_FALSE(parsed.options) << bad.front();
        EXPECT_EQ(parsed.exitStatus, 2) << bad.front();
    }
}

TEST(VolumeOptionsTest, HelpAndVersionExitWithZero) {
    for (const char* flag : {"--help", "--version"}) {
        testing::internal::CaptureStdout();
        const char* argv[] = {"cvt-volume", flag};
        const ParsedCommandLine parsed = parseCommandLine(2, argv);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.exitStatus, 0);
        EXPECT_NE(out.find("cvt-volume"), std::string::npos) << out;
    }
}

}  // namespace
}  // namespace cvt::volume
