// cvt-volume as its users run it: files in, files out, exit statuses and messages. The runs are small
// (a few seconds on the CPU simulation).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/grid_shape.h"
#include "check/labels_file_check.h"
#include "formats/sites_csv.h"
#include "formats/volume_file.h"
#include "host/axis_spacing.h"

extern char** environ;

namespace cvt {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class VolumeCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cvt-volume-test-XXXXXX";
        directory_ = mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(directory_); }

    fs::path path(const std::string& name) const { return directory_ / name; }

    // Runs cvt-volume with the arguments (and NAME=VALUE environment entries added to this process's).
    Outcome run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) const {
        std::vector<std::string> words = {CVT_VOLUME_BINARY};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> variables = environment;
        for (char** e = environ; *e != nullptr; ++e) variables.push_back(*e);
        std::vector<char*> envp;
        for (std::string& variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);

        const fs::path out = path("stdout"), err = path("stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t child = 0;
        Outcome outcome;
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
            int status = 0;
            waitpid(child, &status, 0);
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = contentsOf(out);
        outcome.err = contentsOf(err);
        fs::remove(out);
        fs::remove(err);
        return outcome;
    }

    // A float32 .npy of the given box; density(x, y, z) gives each voxel.
    template <class Density>
    std::string densityFile(const std::string& name, formats::VolumeShape shape, Density density) const {
        std::vector<float> values;
        for (int z = 0; z < shape.z; ++z)
            for (int y = 0; y < shape.y; ++y)
                for (int x = 0; x < shape.x; ++x) values.push_back(density(x, y, z));
        formats::writeNpy(path(name), values.data(), formats::SampleType::float32, shape, false);
        return path(name);
    }

    std::vector<std::string> filesHere() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path directory_;
};

TEST_F(VolumeCliTest, ANonCubicBoxGivesFilesThatPassTheCheckWithEverySiteInside) {
    const formats::VolumeShape shape{100, 60, 40};
    const std::string density = densityFile("blob.npy", shape, [](int x, int y, int z) {
        return float(0.05 + std::exp(-((x - 60.0) * (x - 60.0) + (y - 25.0) * (y - 25.0) + (z - 20.0) * (z - 20.0)) / 500.0));
    });
    const Outcome outcome = run({density, "--sites", "150", "--max-iterations", "60", "--labels", path("l.npy"),
                                 "--sites-out", path("s.csv"), "--summary", path("run.json")});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const check::LabelsFileVerdict verdict = check::checkLabelsFile(path("l.npy"), path("s.csv"), density);
    ASSERT_TRUE(verdict.valid) << verdict.problem;
    const formats::VolumeFile labels = formats::readVolume(path("l.npy"));
    EXPECT_EQ(labels.type, formats::SampleType::uint16);
    EXPECT_EQ(labels.shape.x, 100);
    EXPECT_EQ(labels.shape.z, 40);
    const std::vector<formats::SiteRow> sites = formats::readSitesCsv(path("s.csv"));
    EXPECT_GE(sites.size(), 100u);
    EXPECT_LE(sites.size(), 150u);
    for (const formats::SiteRow& s : sites) EXPECT_TRUE(s.x < 100 && s.y < 60 && s.z < 40);
    // The summary's final energy is the one the checker computes from the files.
    const nlohmann::json summary = nlohmann::json::parse(contentsOf(path("run.json")));
    EXPECT_NEAR(summary["final_energy"].get<double>(), *verdict.energy, 1e-4 * *verdict.energy);
    EXPECT_EQ(summary["sites"]["end"], sites.size());
}

// --dry-run reads the input and answers with the grid (each side rounded up to its own step) and the
// memory, and writes no output. The figures grow with the grid: the exact sums of the default need no
// moment volumes, at most 16 bytes per voxel, less than float atomics; a mask adds its inside maps.
TEST_F(VolumeCliTest, ADryRunPrintsTheGridAndTheMemoryAndWritesNothing) {
    struct Case {
        formats::VolumeShape shape;
        GridShape grid;
    };
    const Case cases[] = {{{1, 1, 1}, GridShape(32, 32, 4)},
                          {{100, 60, 40}, GridShape(128, 64, 40)},
                          {{3, 129, 7}, GridShape(32, 160, 8)},
                          {{64, 64, 64}, GridShape(64)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.shape.x) + " x " + std::to_string(c.shape.y) + " x " + std::to_string(c.shape.z));
        const std::string density = densityFile("d.npy", c.shape, [](int x, int, int) { return float(1 + x % 3); });
        auto needs = [&](const std::vector<std::string>& extra) {
            std::vector<std::string> arguments = {density, "--sites", "1", "--dry-run", "--labels", path("l.npy")};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            const Outcome outcome = run(arguments);
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            std::map<std::string, std::string> values;
            std::istringstream lines(outcome.out);
            for (std::string key, value; std::getline(lines, key, ':') && std::getline(lines, value);)
                values[key] = value.substr(1);
            return values;
        };
        std::map<std::string, std::string> fixed = needs({}), atomics = needs({"--fast-atomics"}),
                                           masked = needs({"--mask-above", "1.5"});
        EXPECT_EQ(fixed["grid"], std::to_string(c.grid.x) + " " + std::to_string(c.grid.y) + " " + std::to_string(c.grid.z));
        EXPECT_EQ(fixed["box"], std::to_string(c.shape.x) + " " + std::to_string(c.shape.y) + " " + std::to_string(c.shape.z));
        const uint64_t voxels = uint64_t(c.grid.voxels());
        EXPECT_GE(std::stoull(atomics["device_bytes"]), 28 * voxels);
        EXPECT_LE(std::stoull(fixed["device_bytes"]), 16 * voxels + 1024);  // and one site's table
        EXPECT_LT(std::stoull(fixed["device_bytes"]), std::stoull(atomics["device_bytes"]));
        EXPECT_GT(std::stoull(masked["device_bytes"]), std::stoull(fixed["device_bytes"]));
        EXPECT_GT(std::stoull(masked["host_bytes"]), std::stoull(fixed["host_bytes"]));
        EXPECT_GE(std::stoull(fixed["host_bytes"]), 4 * uint64_t(c.grid.x) * c.grid.y * c.shape.z);  // the labelling of the box's planes
        EXPECT_EQ(filesHere(), std::vector<std::string>{"d.npy"});
    }
}

TEST_F(VolumeCliTest, DeterministicRunsGiveTheSameBytesWhateverTheHostThreads) {
    const std::string density = densityFile("d.npy", {70, 33, 64}, [](int x, int y, int z) {
        return float(1 + (x * 7 + y * 3 + z) % 11);
    });
    std::vector<std::string> files;
    for (const char* threads : {"OMP_NUM_THREADS=1", "OMP_NUM_THREADS=2", "OMP_NUM_THREADS=2"}) {
        const Outcome outcome = run({density, "--sites", "90", "--max-iterations", "40", "--deterministic", "--labels",
                                     path("l.nrrd"), "--sites-out", path("s.csv")},
                                    {threads});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        files.push_back(contentsOf(path("l.nrrd")) + contentsOf(path("s.csv")));
    }
    EXPECT_EQ(files[0], files[1]);
    EXPECT_EQ(files[1], files[2]);
}

TEST_F(VolumeCliTest, TheSummaryTellsTheHistoryAndWhyEachWayOfEndingARunEnded) {
    const std::string density = densityFile("small.npy", {40, 20, 24}, [](int x, int y, int z) {
        return float(1.0 + 0.5 * std::sin(x * 0.3) + 0.25 * std::cos(y * 0.2 + z * 0.1));
    });
    struct Case {
        std::vector<std::string> budget;
        std::string reason, lastLine;
    };
    for (const Case& c : {Case{{}, "converged", "converged on the last level at iteration "},
                          Case{{"--max-iterations", "15"}, "iteration_budget", "the budget of 15 iterations ran out"},
                          Case{{"--max-iterations", "0"}, "no_iterations", "without iterating"}}) {
        std::vector<std::string> arguments = {density, "--sites", "30", "--summary", path("run.json")};
        arguments.insert(arguments.end(), c.budget.begin(), c.budget.end());
        const Outcome outcome = run(arguments);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const nlohmann::json summary = nlohmann::json::parse(contentsOf(path("run.json")));
        EXPECT_EQ(summary["stop"]["reason"], c.reason);
        // One progress line per decision, with the summary's iteration and energy.
        std::istringstream lines(outcome.err);
        size_t decision = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("iteration ", 0) != 0) continue;
            ASSERT_LT(decision, summary["history"].size()) << line;
            const nlohmann::json& entry = summary["history"][decision++];
            char expected[64];
            std::snprintf(expected, sizeof expected, "iteration %d  level 0  energy %.6g", entry["iteration"].get<int>(),
                          entry["energy"].get<double>());
            EXPECT_EQ(line.rfind(expected, 0), 0u) << line << " against " << expected;
        }
        EXPECT_EQ(decision, summary["history"].size());
        const int stop = summary["stop"]["iteration"];
        if (c.reason == "converged") {
            // Plain steps end the run where the last of them moved no site.
            EXPECT_GT(summary["stop"]["plain_steps"].get<int>(), 0);
            EXPECT_EQ(summary["history"].back()["iteration"], stop);
            EXPECT_EQ(summary["history"].back()["relaxation"], 1.0);
            EXPECT_EQ(summary["history"].back()["sites_moved"], 0);
        }
        if (c.reason == "iteration_budget") EXPECT_EQ(stop, 15);
        EXPECT_NE(outcome.err.find(c.lastLine), std::string::npos) << outcome.err;
    }
}

// On a machine without any NVIDIA driver the CUDA runtime calls its version "insufficient", which
// would send the user looking for a driver update; the notice says what is the case.
TEST_F(VolumeCliTest, TheStartUpNoticeSaysWhenThereIsNoDriverAtAll) {
    void* library = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (library != nullptr) dlclose(library);
    if (library != nullptr || fs::exists("/proc/driver/nvidia/version")) GTEST_SKIP() << "an NVIDIA driver is here";
    const std::string density = densityFile("d.npy", {8, 8, 8}, [](int, int, int) { return 1.0f; });
    const Outcome outcome = run({density, "--sites", "3"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err.find("insufficient"), std::string::npos) << outcome.err;
    if (outcome.err.find("no GPU backend") == std::string::npos)
        EXPECT_NE(outcome.err.find("running on the CPU simulation (no NVIDIA driver or GPU found)"), std::string::npos)
            << outcome.err;
}

TEST_F(VolumeCliTest, BadInputsGetOneLineNamingTheProblemAndNoOutput) {
    const std::string good = densityFile("good.npy", {16, 16, 16}, [](int x, int, int) { return float(x % 2); });
    const std::string zero = densityFile("zero.npy", {8, 8, 8}, [](int, int, int) { return 0.0f; });
    const std::string negative = densityFile("negative.npy", {8, 8, 8}, [](int x, int y, int z) {
        return x == 3 && y == 4 && z == 5 ? -1.0f : 1.0f;
    });
    const std::string text = path("text.xyz");
    std::ofstream(text) << "not a volume";
    std::ofstream(path("outside.csv")) << "x,y,z\n1,2,3\n20,2,3\n";
    std::ofstream(path("twice.csv")) << "x,y,z\n1,2,3\n1,2,3\n";
    std::ofstream(path("malformed.csv")) << "x,y,z\n1,2\n";
    const std::string small = densityFile("small.npy", {8, 8, 8}, [](int, int, int) { return 1.0f; });
    const std::string empty = densityFile("empty.npy", {16, 16, 16}, [](int, int, int) { return 0.0f; });
    const std::string corner =
        densityFile("corner.npy", {16, 16, 16}, [](int x, int y, int z) { return x < 2 && y < 2 && z < 2 ? 1.0f : 0.0f; });
    const std::vector<uint8_t> shortSamples(10, 1);
    formats::writeNifti(path("short.nii"), shortSamples.data(), formats::SampleType::uint8, {2, 5, 1}, {}, {1, 1, 1});
    fs::resize_file(path("short.nii"), fs::file_size(path("short.nii")) - 3);
    fs::create_symlink(good, path("link.npy"));
    fs::create_directory(path("sub"));
    const std::string goodBytes = contentsOf(good);
    const std::vector<std::string> before = filesHere();
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> mentions;
    };
    // Quiet, so that the error is all there is on standard error.
    const std::string labels = path("l.npy");
    for (const Case& c : std::vector<Case>{
             {{text, "--labels", labels}, 1, {"text.xyz"}},
             {{zero, "--labels", labels}, 1, {"zero.npy", "zero"}},
             {{negative, "--labels", labels}, 1, {"negative.npy", "(3, 4, 5)"}},
             {{good, "--sites", "5000", "--labels", labels}, 1, {"good.npy", "4096"}},
             {{good, "--sites", "3000", "--seeding", "density", "--labels", labels}, 1, {"good.npy", "2048"}},
             {{good, "--sites-in", path("outside.csv"), "--labels", labels}, 1, {"outside.csv", "outside"}},
             {{good, "--sites-in", path("twice.csv"), "--labels", labels}, 1, {"twice.csv", "twice"}},
             {{good, "--sites-in", path("malformed.csv"), "--labels", labels}, 1, {"malformed.csv", "line 2"}},
             {{good, "--sites", "5", "--labels", path("missing/l.npy")}, 1, {"missing/l.npy"}},
             {{good, "--sites", "5", "--summary", path("missing/run.json"), "--labels", labels}, 1, {"missing/run.json"}},
             {{path("absent.npy"), "--labels", labels}, 2, {"absent.npy"}},
             {{good, "--sites", "-3", "--labels", labels}, 2, {"--sites"}},
             {{negative, "--labels", labels}, 1, {"--window LO,HI", "--clip-below"}},
             {{good, "--window", "5,5", "--labels", labels}, 2, {"--window"}},
             {{good, "--window", "7,9", "--labels", labels}, 1, {"good.npy", "zero after the mapping"}},
             {{good, "--mask", small, "--labels", labels}, 1, {"small.npy", "8 x 8 x 8", "16 x 16 x 16"}},
             {{good, "--sites", "5", "--mask", empty, "--labels", labels}, 1, {"empty.npy", "no voxel lies inside"}},
             {{good, "--sites", "5", "--mask-above", "2", "--labels", labels}, 1, {"no voxel lies inside"}},
             {{good, "--sites", "9", "--mask", corner, "--labels", labels}, 1, {"8 voxels"}},
             {{path("short.nii"), "--labels", labels}, 1, {"short.nii"}},
             // Outputs that would destroy an input or another output, by any path to the same file.
             {{good, "--labels", good}, 2, {"--labels", "DENSITY"}},
             {{good, "--labels", path("link.npy")}, 2, {"link.npy", "DENSITY"}},
             {{good, "--labels", path("sub/../good.npy")}, 2, {"DENSITY"}},
             {{good, "--mask", corner, "--preview", corner}, 2, {"--preview", "--mask"}},
             {{good, "--labels", labels, "--text", path("sub/../l.npy")}, 2, {"--text", "--labels"}},
         }) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("-q");
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, c.status) << c.arguments.front() << ": " << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        for (const std::string& mention : c.mentions)
            EXPECT_NE(outcome.err.find(mention), std::string::npos) << "'" << mention << "' in: " << outcome.err;
        EXPECT_EQ(filesHere(), before) << "files left by " << outcome.err;
        EXPECT_EQ(contentsOf(good), goodBytes);
    }
}

// A CT scan as it comes: int16 Hounsfield units in a compressed NIfTI with a placement and anisotropic
// voxels, air around a body that has an air cavity. With a window and a mask the run tessellates the
// body only, and the labels overlay the scan: the same placement, 0 exactly outside, exact inside.
TEST_F(VolumeCliTest, AScanInHounsfieldUnitsTessellatesTheBodyAndTheLabelsOverlayIt) {
    const formats::VolumeShape shape{48, 40, 24};
    std::vector<int16_t> hounsfield;
    std::vector<uint8_t> body;
    for (int z = 0; z < shape.z; ++z)
        for (int y = 0; y < shape.y; ++y)
            for (int x = 0; x < shape.x; ++x) {
                const double u = (x - 24) / 20.0, v = (y - 20) / 16.0, w = (z - 12) / 10.0;
                const double r = u * u + v * v + w * w;
                const bool cavity = (x - 30) * (x - 30) + (y - 20) * (y - 20) < 25;
                const bool inside = r < 1 && !cavity;
                hounsfield.push_back(int16_t(!inside ? -1000 : r > 0.8 ? 1200 : 20 + (x * 3 + y) % 40));
                body.push_back(inside);
            }
    formats::NiftiGeometry placement;
    placement.sformCode = 1;
    placement.sform = {{{0.7, 0, 0, -16}, {0, 0.7, 0, -14}, {0, 0, 2.5, 30}, {0, 0, 0, 1}}};
    placement.pixdim = {0.7, 0.7, 2.5};
    formats::VolumeGeometry geometry;
    geometry.nifti = placement;
    formats::writeNifti(path("ct.nii.gz"), hounsfield.data(), formats::SampleType::int16, shape, geometry, {1, 1, 1});
    formats::writeNpy(path("body.npy"), body.data(), formats::SampleType::uint8, shape, false);

    for (const std::vector<std::string> mask : {std::vector<std::string>{"--mask-above", "0"},
                                                std::vector<std::string>{"--mask", path("body.npy")}}) {
        SCOPED_TRACE(mask.front());
        std::vector<std::string> arguments = {path("ct.nii.gz"), "--window", "-100,300", "--sites", "40",
                                              "--max-iterations", "30", "--labels", path("l.nii.gz"), "--sites-out",
                                              path("s.csv"), "--summary", path("run.json"), "--preview", path("p.png")};
        arguments.insert(arguments.end(), mask.begin(), mask.end());
        const Outcome outcome = run(arguments);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.err.find("spacing 0.7 x 0.7 x 2.5"), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("in more than one piece"), std::string::npos) << outcome.err;
        const check::LabelsFileVerdict verdict =
            check::checkLabelsFile(path("l.nii.gz"), path("s.csv"), std::nullopt, std::nullopt, path("body.npy"));
        ASSERT_TRUE(verdict.valid) << verdict.problem;
        // NIfTI-1 holds its numbers as floats.
        const auto asFloats = [](auto values) {
            std::vector<float> floats;
            for (const auto& value : values) {
                if constexpr (std::is_arithmetic_v<std::decay_t<decltype(value)>>) floats.push_back(float(value));
                else for (double v : value) floats.push_back(float(v));
            }
            return floats;
        };
        EXPECT_EQ(asFloats(verdict.spacing), asFloats(Spacing{0.7, 0.7, 2.5}));
        const formats::VolumeFile labels = formats::readVolume(path("l.nii.gz"));
        ASSERT_TRUE(labels.geometry.nifti);
        EXPECT_EQ(labels.geometry.nifti->sformCode, 1);
        EXPECT_EQ(asFloats(labels.geometry.nifti->sform), asFloats(placement.sform));
        const std::vector<formats::SiteRow> sites = formats::readSitesCsv(path("s.csv"));
        ASSERT_FALSE(sites.empty());
        EXPECT_EQ(sites.front().id, 1);
        EXPECT_EQ(contentsOf(path("s.csv")).rfind("id,x,y,z,mass,voxels,pieces,cx,cy,cz,initial_index\n", 0), 0u);
        const nlohmann::json summary = nlohmann::json::parse(contentsOf(path("run.json")));
        EXPECT_EQ(summary["mask"]["voxels_inside"].get<uint64_t>(), uint64_t(std::count(body.begin(), body.end(), 1)));
        EXPECT_EQ(summary["mapping"]["window"], nlohmann::json::array({-100.0, 300.0}));
        EXPECT_TRUE(summary["regions_in_pieces"].is_number());
    }
}

}  // namespace
}  // namespace cvt
