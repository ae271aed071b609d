// The output checker: it must accept exactly what the program writes and catch every wrong label.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check/labelling_check.h"
#include "check/output_parser.h"
#include "reference_labelling.h"

namespace cvt::check {
namespace {

std::string printLines(const std::vector<int32_t>& labels, int edge) {
    std::string text;
    char line[64];
    for (int x = 0; x < edge; ++x)
        for (int y = 0; y < edge; ++y)
            for (int z = 0; z < edge; ++z) {
                const int32_t c = labels[(size_t(z) * edge + y) * edge + x];
                text.append(line, std::snprintf(line, sizeof line, "v %d %d %d\n", (c >> 20) & 1023, (c >> 10) & 1023, c & 1023));
            }
    return text;
}

std::vector<Site> randomSites(std::mt19937& random, int count, int edge) {
    std::uniform_int_distribution<int> coordinate(0, edge - 1);
    std::vector<Site> sites;
    for (int s = 0; s < count; ++s) sites.push_back({coordinate(random), coordinate(random), coordinate(random)});
    return sites;
}

TEST(OutputParser, ReadsBackWhatPrintfWrites) {
    std::mt19937 random(3);
    const int edge = 8;
    const std::vector<int32_t> labels = bruteForceLabelling(randomSites(random, 5, edge), edge);
    const ParsedOutput parsed = parseOutput(printLines(labels, edge), edge);
    ASSERT_TRUE(parsed.wellFormed) << parsed.problem;
    EXPECT_EQ(parsed.labels, labels);
}

TEST(OutputParser, RejectsAnyOtherText) {
    const int edge = 2;
    const std::string good = printLines(std::vector<int32_t>(8, reference::encode(1, 0, 1)), edge);
    ASSERT_TRUE(parseOutput(good, edge).wellFormed);
    for (const auto& [bad, what] : std::vector<std::pair<std::string, std::string>>{
             {good.substr(0, good.size() - 1), "missing newline"},
             {good.substr(0, good.size() - 8), "missing line"},
             {good + "v 1 0 1\n", "extra line"},
             {"v 01 0 1\n" + good.substr(8), "leading zero"},
             {"v 1024 0 1\n" + good.substr(8), "coordinate beyond 1023"},
             {"v 1 0 1 \n" + good.substr(8), "trailing space"},
             {"w 1 0 1\n" + good.substr(8), "wrong letter"},
             {"v -1 0 1\n" + good.substr(8), "sign"},
         })
        EXPECT_FALSE(parseOutput(bad, edge).wellFormed) << what;
}

TEST(LabellingCheck, AcceptsExactLabellingsAndCountsSites) {
    std::mt19937 random(11);
    for (int trial = 0; trial < 20; ++trial) {
        const int edge = trial % 2 ? 16 : 12;
        std::vector<Site> sites = randomSites(random, 1 + trial * 3, edge);
        const LabellingVerdict verdict = verifyLabelling(bruteForceLabelling(sites, edge), edge);
        EXPECT_TRUE(verdict.exact) << verdict.problem;
    }
    // Sites that own no voxel other than themselves still count; duplicates count once.
    const LabellingVerdict verdict = verifyLabelling(bruteForceLabelling({{0, 0, 0}, {3, 3, 3}, {3, 3, 3}}, 4), 4);
    EXPECT_TRUE(verdict.exact);
    EXPECT_EQ(verdict.siteCount, 2u);
}

TEST(LabellingCheck, FindsANearerSiteAndATieBrokenTheWrongWay) {
    const int edge = 8;
    std::vector<int32_t> labels = bruteForceLabelling({{1, 4, 4}, {6, 4, 4}}, edge);
    // Voxel (2,4,4) is nearer to (1,4,4).
    labels[(4 * edge + 4) * edge + 2] = reference::encode(6, 4, 4);
    LabellingVerdict verdict = verifyLabelling(labels, edge);
    EXPECT_FALSE(verdict.exact);
    EXPECT_NE(verdict.problem.find("nearer"), std::string::npos) << verdict.problem;

    // Voxel (5,5,3) is at squared distance 2 from both sites: the tie goes to the smaller y.
    labels = bruteForceLabelling({{5, 4, 4}, {5, 6, 4}}, edge);
    labels[(3 * edge + 5) * edge + 5] = reference::encode(5, 6, 4);
    verdict = verifyLabelling(labels, edge);
    EXPECT_FALSE(verdict.exact);
    EXPECT_NE(verdict.problem.find("preferred"), std::string::npos) << verdict.problem;
}

TEST(LabellingCheck, RejectsLabelsOutsideTheGrid) {
    std::vector<int32_t> labels = bruteForceLabelling({{1, 1, 1}}, 4);
    labels[5] = reference::encode(4, 0, 0);
    EXPECT_FALSE(verifyLabelling(labels, 4).exact);
}

TEST(CvtEnergy, MatchesTheClosedFormForOneSite) {
    const int edge = 8;
    const double energy = cvtEnergy(bruteForceLabelling({{0, 0, 0}}, edge), std::vector<float>(512, 2.0f), edge);
    double axis = 0.0;
    for (int x = 0; x < edge; ++x) axis += (2.0 * x / edge) * (2.0 * x / edge);
    EXPECT_DOUBLE_EQ(energy, 2.0 * 3.0 * edge * edge * axis);
}

}  // namespace
}  // namespace cvt::check
