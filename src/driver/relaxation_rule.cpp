#include "relaxation_rule.h"

#include <cmath>

namespace cvt {

namespace {
constexpr double relaxationGain = 0.0001;
constexpr double fullGridThreshold = 0.0001;
constexpr float coarseLevelThreshold = 5.0f;
constexpr double decisionInterval = 10.0;
constexpr double maxRelaxation = 2.0;
}  // namespace

RelaxationDecision decideRelaxation(float previousEnergy, float energy, int levelIndex) {
    RelaxationDecision decision;
    const float drop = previousEnergy - energy;  // single precision, then widened
    const double diff = drop;
    decision.decreaseRate = static_cast<float>(diff / decisionInterval);
    // No lower bound: a rising energy gives a factor below 1. fmin returns 2 for a NaN difference.
    decision.relaxation = static_cast<float>(std::fmin(maxRelaxation, diff * relaxationGain + 1.0));
    // A NaN rate compares false, so it never converges.
    decision.levelEnds = levelIndex > 0 ? decision.decreaseRate < coarseLevelThreshold
                                        : static_cast<double>(decision.decreaseRate) < fullGridThreshold;
    decision.previousEnergy = decision.levelEnds ? previousEnergy : energy;
    return decision;
}

}  // namespace cvt
