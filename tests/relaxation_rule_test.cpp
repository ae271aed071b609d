// The decision taken every tenth iteration, with its single and double roundings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/relaxation_rule.h"

namespace cvt {
namespace {

TEST(RelaxationRule, FirstDecisionKeepsFullOverRelaxationAndEndsNothing) {
    for (int level : {0, 1, 2}) {
        const RelaxationDecision decision = decideRelaxation(1e18f, 2500.0f, level);
        EXPECT_EQ(decision.relaxation, 2.0f);
        EXPECT_FALSE(decision.levelEnds);
        EXPECT_EQ(decision.previousEnergy, 2500.0f);
    }
}

TEST(RelaxationRule, EqualEnergiesEndTheLevelWithFactorOne) {
    for (int level : {0, 1}) {
        const RelaxationDecision decision = decideRelaxation(1234.5f, 1234.5f, level);
        EXPECT_EQ(decision.decreaseRate, 0.0f);
        EXPECT_EQ(decision.relaxation, 1.0f);
        EXPECT_TRUE(decision.levelEnds);
        EXPECT_EQ(decision.previousEnergy, 1234.5f);  // kept when the test fires
    }
}

TEST(RelaxationRule, RisingEnergyEndsTheLevelAndUnderRelaxes) {
    const RelaxationDecision small = decideRelaxation(1000.0f, 1001.0f, 0);
    EXPECT_TRUE(small.levelEnds);
    EXPECT_LT(small.relaxation, 1.0f);
    EXPECT_EQ(small.relaxation, static_cast<float>(-1.0 * 0.0001 + 1.0));
    // No lower bound: a rise of more than 10000 gives a negative factor.
    EXPECT_LT(decideRelaxation(0.0f, 20000.0f, 1).relaxation, 0.0f);
}

TEST(RelaxationRule, NotANumberNeverConvergesAndGivesFullOverRelaxation) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int level : {0, 1}) {
        const RelaxationDecision decision = decideRelaxation(1000.0f, nan, level);
        EXPECT_FALSE(decision.levelEnds);
        EXPECT_EQ(decision.relaxation, 2.0f);
        EXPECT_TRUE(std::isnan(decision.previousEnergy));
    }
}

TEST(RelaxationRule, CoarseAndFineThresholds) {
    // Coarse levels end below 5 per iteration: a drop of 49.9 over ten iterations ends, 50 does not.
    EXPECT_TRUE(decideRelaxation(1049.9f, 1000.0f, 1).levelEnds);
    EXPECT_FALSE(decideRelaxation(1050.0f, 1000.0f, 2).levelEnds);
    // The full grid ends below 0.0001 per iteration, compared in double after a float rate.
    EXPECT_TRUE(decideRelaxation(1.0009f, 1.0f, 0).levelEnds);
    EXPECT_FALSE(decideRelaxation(1.0011f, 1.0f, 0).levelEnds);
    EXPECT_FALSE(decideRelaxation(1049.9f, 1000.0f, 0).levelEnds);
}

TEST(RelaxationRule, FactorFollowsTheDropUpToTwo) {
    const RelaxationDecision decision = decideRelaxation(3000.0f, 1000.0f, 0);
    EXPECT_EQ(decision.relaxation, static_cast<float>(2000.0 * 0.0001 + 1.0));
    EXPECT_EQ(decision.decreaseRate, 200.0f);
    EXPECT_EQ(decision.previousEnergy, 1000.0f);
    EXPECT_EQ(decideRelaxation(30000.0f, 10.0f, 0).relaxation, 2.0f);
}

}  // namespace
}  // namespace cvt
