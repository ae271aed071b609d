// The spacing's integer weights and energy scales, and the spacings refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "device/failure.h"
#include "host/axis_spacing.h"
#include "host/grid_shape.h"

namespace cvt {
namespace {

TEST(AxisSpacingTest, DecimalSpacingsGiveExactIntegerWeights) {
    struct Case {
        Spacing spacing;
        AxisWeights weights;
    };
    const Case cases[] = {
        {{1, 1, 1}, {1, 1, 1}},          {{0.3, 0.3, 0.3}, {1, 1, 1}},
        {{0.7, 0.7, 2.5}, {49, 49, 625}}, {{0.7f, 0.7f, 2.5f}, {49, 49, 625}},  // as single precision gives them
        {{0.8, 0.8, 2.0}, {4, 4, 25}},   {{2.5, 1, 1}, {25, 4, 4}},
        {{1, 20, 1}, {1, 400, 1}},       {{1, 1, 1024}, {1, 1, 1 << 20}},
        {{0.4, 0.4, 0.5}, {16, 16, 25}},
    };
    for (const Case& c : cases) {
        const AxisWeights w = labellingWeights(c.spacing);
        EXPECT_EQ(w.x, c.weights.x) << describeSpacing(c.spacing);
        EXPECT_EQ(w.y, c.weights.y) << describeSpacing(c.spacing);
        EXPECT_EQ(w.z, c.weights.z) << describeSpacing(c.spacing);
    }
}

// Any usable spacing: weights of at most 2^30 whose ratios are the squared spacing ratios within the
// rounding that the weights' size allows, and scales that are the spacing over its smallest value.
TEST(AxisSpacingTest, RandomSpacingsGiveWeightsOfTheirRatios) {
    std::mt19937 random(31);
    std::uniform_real_distribution<double> logRatio(0, std::log(1024.0));
    for (int round = 0; round < 2000; ++round) {
        const double base = std::exp(logRatio(random) - 3);
        Spacing spacing{base, base * std::exp(logRatio(random) / 2), base * std::exp(logRatio(random) / 2)};
        if (round % 2) std::swap(spacing[0], spacing[round % 3]);
        if (spacingProblem(spacing)) continue;
        const AxisWeights w = labellingWeights(spacing);
        const AxisScales s = energyScales(spacing);
        const int64_t weights[3] = {w.x, w.y, w.z};
        const double scales[3] = {s.x, s.y, s.z};
        for (int a = 0; a < 3; ++a) {
            EXPECT_GE(weights[a], 1);
            EXPECT_LE(weights[a], int64_t{1} << 30);
            EXPECT_GE(scales[a], 1.0);
            const double expected = (spacing[a] / spacing[0]) * (spacing[a] / spacing[0]);
            EXPECT_NEAR(double(weights[a]) / double(weights[0]), expected, expected * 1e-5) << describeSpacing(spacing);
            EXPECT_NEAR(scales[a] / scales[0], spacing[a] / spacing[0], 1e-12 * spacing[a] / spacing[0]);
        }
    }
}

// Up to the longest side a grid can have, the construction pass's products stay within 64 bits: the
// weights of a grid with longest side S keep (w.x + w.y + w.z) S^3 below 2^62, for any usable spacing.
TEST(AxisSpacingTest, WeightsKeepTheProductsWithin64BitsOnEveryGrid) {
    std::mt19937 random(32);
    std::uniform_real_distribution<double> logRatio(0, std::log(1024.0));
    for (int side = 1024; side <= maxGridSide; side *= 2) {
        EXPECT_EQ(largestLabellingWeight(side), int64_t{1} << (30 - 3 * int(std::log2(side / 1024))));
        for (int round = 0; round < 300; ++round) {
            Spacing spacing{1, std::exp(logRatio(random)), std::exp(logRatio(random) / (1 + round % 3))};
            if (round % 2) std::swap(spacing[0], spacing[round % 3]);
            if (round == 0) spacing = {1, 1, 1024};
            if (spacingProblem(spacing)) continue;
            const AxisWeights w = labellingWeights(spacing, side);
            EXPECT_LE(std::max({w.x, w.y, w.z}), largestLabellingWeight(side)) << describeSpacing(spacing);
            const unsigned __int128 cube = unsigned(side) * uint64_t(side) * uint64_t(side);
            EXPECT_TRUE((w.x + w.y + w.z) * cube < (unsigned __int128)1 << 62) << side << ": " << describeSpacing(spacing);
        }
    }
}

TEST(AxisSpacingTest, UnusableSpacingsAreRefusedNamingTheAxis) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        Spacing spacing;
        const char* says;
    };
    const Case cases[] = {
        {{0, 1, 1}, "along x"},       {{1, -2, 1}, "along y"},   {{1, 1, nan}, "along z"},
        {{1, inf, 1}, "along y"},     {{-0.0, 1, 1}, "along x"}, {{1, 1, 1025}, "at most 1024"},
        {{1e-300, 1, 1}, "at most 1024"}, {{1e300, 1e-300, 1}, "at most 1024"},
    };
    for (const Case& c : cases) {
        const auto problem = spacingProblem(c.spacing);
        ASSERT_TRUE(problem.has_value()) << describeSpacing(c.spacing);
        EXPECT_NE(problem->find(c.says), std::string::npos) << *problem;
        EXPECT_THROW(labellingWeights(c.spacing), Failure);
        EXPECT_THROW(energyScales(c.spacing), Failure);
    }
    EXPECT_FALSE(spacingProblem({1, 1, 1024}).has_value());
}

}  // namespace
}  // namespace cvt
