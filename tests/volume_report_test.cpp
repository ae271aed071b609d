// What cvt-volume makes of a finished run: the site table of the box, the memory check, the summary
// and the progress lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/failure.h"
#include "reference_labelling.h"
#include "tessellation/memory_check.h"
#include "volume/progress.h"
#include "volume/summary.h"
#include "tessellation/tessellation.h"

namespace cvt::volume {
namespace {

TEST(TessellationTest, SitesAreNumberedInCodeOrderWithTheirRegionsMassAndVoxels) {
    // A 40 x 7 x 20 box at the origin of a 48-grid; the labelling covers the whole grid.
    std::mt19937 random(3);
    const int edge = 48;
    const GridBox box{40, 7, 20};
    std::vector<Site> sites;
    for (int k = 0; k < 25; ++k) sites.push_back({int(random() % box.x), int(random() % box.y), int(random() % box.z)});
    const std::vector<int> labelling = bruteForceLabelling(sites, edge);
    std::vector<float> density(size_t(box.x) * box.y * box.z);
    for (float& rho : density) rho = float(random() % 100) / 7.0f;

    const Tessellation t = tabulate(labelling.data(), edge, box, density.data());
    ASSERT_FALSE(t.sites.empty());
    for (size_t id = 1; id < t.sites.size(); ++id) ASSERT_LT(t.sites[id - 1], t.sites[id]);  // by x, then y, then z
    std::vector<double> mass(t.sites.size(), 0.0);
    std::vector<uint64_t> voxels(t.sites.size(), 0);
    size_t i = 0;
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x, ++i) {
                const std::array<int, 3>& s = t.sites.at(t.labels[i]);
                ASSERT_EQ(reference::encode(s[0], s[1], s[2]), labelling[(size_t(z) * edge + y) * edge + x]);
                mass[t.labels[i]] += density[i];
                ++voxels[t.labels[i]];
            }
    EXPECT_EQ(t.voxels, voxels);
    for (size_t id = 0; id < mass.size(); ++id) EXPECT_DOUBLE_EQ(t.mass[id], mass[id]);
}

TEST(TessellationTest, ALabelNamingASiteOutsideTheBoxIsRefused) {
    const int edge = 32;
    const std::vector<int> labelling = bruteForceLabelling({{2, 2, 2}, {30, 2, 2}}, edge);
    const std::vector<float> density(20 * 4 * 4, 1.0f);
    EXPECT_THROW(tabulate(labelling.data(), edge, GridBox{20, 4, 4}, density.data()), Failure);
}

TEST(MemoryCheckTest, SaysWhatTheRunNeedsAndWhatThereIs) {
    const uint64_t gib = uint64_t(1) << 30;
    EXPECT_FALSE(memoryShortfall({2 * gib, 3 * gib}, {4 * gib, 4 * gib, false}));
    EXPECT_FALSE(memoryShortfall({2 * gib, 2 * gib}, {0, 4 * gib, true}));
    const auto shared = memoryShortfall({2 * gib, 3 * gib}, {0, 4 * gib, true});
    ASSERT_TRUE(shared);
    EXPECT_NE(shared->find("needs 5.00 GiB of memory, 4.00 GiB available"), std::string::npos) << *shared;
    const auto device = memoryShortfall({5 * gib, gib}, {4 * gib, 64 * gib, false});
    ASSERT_TRUE(device);
    EXPECT_NE(device->find("5.00 GiB of device memory, 4.00 GiB available"), std::string::npos) << *device;
    EXPECT_TRUE(memoryShortfall({gib, 9 * gib}, {4 * gib, 8 * gib, false}));
    // The result's volumes come after the set is freed: the peak is the larger phase, not the sum.
    EXPECT_FALSE(memoryShortfall({2 * gib, gib, 3 * gib}, {0, 3 * gib, true}));
    EXPECT_TRUE(memoryShortfall({gib, gib, 5 * gib}, {0, 4 * gib, true}));
    EXPECT_TRUE(memoryShortfall({gib, gib, 5 * gib}, {4 * gib, 4 * gib, false}));
}

TEST(SummaryTest, IsJsonWithTheHistoryAndTheStopOfTheRun) {
    VolumeOptions options;
    options.labelsPath = "labels.npy";
    DensityInput input;
    input.source = "vol.npy";
    input.format = "npy";
    input.type = "uint16";
    input.box = GridBox{100, 60, 40};
    input.maximum = 4.0f;
    input.sum = 1234.5;
    CvtRunReport report;
    report.levelCount = 1;
    report.sitesPlaced = 500;
    report.decisions = {{10, 0, 80.5f, 2.0f}, {20, 0, 70.25f, 1.5f}};
    report.stop = CvtStop::iterationBudget;
    RunSummary summary;
    summary.options = &options;
    summary.input = &input;
    summary.report = &report;
    summary.grid = 128;
    summary.backend = "sim";
    summary.lastIteration = 25;
    summary.sitesAtEnd = 498;
    const nlohmann::json json = nlohmann::json::parse(summaryText(summary));
    EXPECT_EQ(json["input"]["shape"], (std::vector<int>{100, 60, 40}));
    EXPECT_EQ(json["input"]["scale_applied"], 0.25);
    EXPECT_EQ(json["stop"]["reason"], "iteration_budget");
    EXPECT_EQ(json["stop"]["iteration"], 25);
    EXPECT_EQ(json["sites"]["start"], 500);
    EXPECT_EQ(json["sites"]["end"], 498);
    ASSERT_EQ(json["history"].size(), 2u);
    EXPECT_EQ(json["history"][1]["iteration"], 20);
    EXPECT_EQ(json["history"][1]["energy"], 70.25);
    EXPECT_EQ(json["history"][1]["relaxation"], 1.5);
    EXPECT_EQ(json["outputs"]["labels"], "labels.npy");
    EXPECT_TRUE(json["outputs"]["text"].is_null());
    for (const char* key : {"read", "synthesis", "upload", "iterations", "output"})
        EXPECT_TRUE(json["seconds"].contains(key)) << key;
}

// The text a reporter writes into a temporary file.
template <class Report>
std::string reported(bool terminal, bool quiet, Report report) {
    std::FILE* file = std::tmpfile();
    {
        ProgressReporter progress(file, terminal, quiet);
        report(progress);
    }
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += char(c);
    std::fclose(file);
    return text;
}

TEST(ProgressTest, OneLinePerDecisionAndOneAtTheEndWithoutControlCharactersOffATerminal) {
    CvtRunReport report;
    report.stop = CvtStop::converged;
    report.plainSteps = 3;
    const auto run = [&](ProgressReporter& progress) {
        for (int iteration = 1; iteration <= 30; ++iteration) {
            if (iteration % 10 == 0) progress.decisionTaken({iteration, 0, 100.0f / iteration, 1.25f});
            progress.iterationDone(iteration, 0);
        }
        progress.runEnded(report, 30, 77, 0);
    };
    const std::string plain = reported(false, false, run);
    size_t lines = 0;
    for (char c : plain) {
        lines += c == '\n';
        ASSERT_TRUE(c == '\n' || (c >= ' ' && c < 127)) << "control character " << int(c);
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_NE(plain.find("iteration 20  level 0  energy 5  relaxation 1.25"), std::string::npos) << plain;
    EXPECT_NE(plain.find("converged on the last level at iteration 30, a fixed point after 3 plain steps; 77 sites"),
              std::string::npos)
        << plain;
    EXPECT_EQ(reported(false, true, run), "");
    EXPECT_EQ(reported(true, true, run), "");
}

TEST(ProgressTest, ATerminalGetsAStatusLineThatTheNextLineReplaces) {
    const std::string text = reported(true, false, [](ProgressReporter& progress) {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        progress.iterationDone(3, 1);
        progress.decisionTaken({10, 1, 5.0f, 2.0f});
    });
    const size_t status = text.find("\r\033[Kiteration 3  level 1");
    ASSERT_NE(status, std::string::npos) << text;
    EXPECT_NE(text.find("\r\033[Kiteration 10  level 1  energy 5", status + 1), std::string::npos) << text;
}

}  // namespace
}  // namespace cvt::volume
