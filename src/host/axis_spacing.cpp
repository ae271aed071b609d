#include "axis_spacing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

#include "../device/failure.h"

namespace cvt {

namespace {

// The common denominators tried for integer ratios; spacings given with up to three decimals of each
// other, or as simple fractions, have one below this.
constexpr int64_t largestDenominator = 1000;
constexpr double ratioTolerance = 1e-6;

double smallest(const Spacing& spacing) { return *std::min_element(spacing.begin(), spacing.end()); }

void requireUsable(const Spacing& spacing) {
    if (const auto problem = spacingProblem(spacing)) throw Failure(*problem);
}

// Integers m of the spacing's ratios when some denominator q up to largestDenominator makes every
// ratio times q an integer within the tolerance, the smallest such q.
std::optional<std::array<int64_t, 3>> integerRatios(const Spacing& spacing, int64_t largestWeight) {
    const double low = smallest(spacing);
    for (int64_t q = 1; q <= largestDenominator; ++q) {
        std::array<int64_t, 3> edges{};
        bool integral = true;
        for (int axis = 0; axis < 3 && integral; ++axis) {
            const double scaled = spacing[axis] / low * double(q);
            edges[axis] = std::llround(scaled);
            integral = edges[axis] * edges[axis] <= largestWeight &&
                       std::fabs(scaled - double(edges[axis])) <= ratioTolerance * scaled;
        }
        if (integral) return edges;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> spacingProblem(const Spacing& spacing, const std::array<const char*, 3>& axisNames) {
    for (int axis = 0; axis < 3; ++axis)
        if (!std::isfinite(spacing[axis]) || spacing[axis] <= 0)
            return std::string("the spacing along ") + axisNames[axis] + " is not a positive finite number";
    const double ratio = *std::max_element(spacing.begin(), spacing.end()) / smallest(spacing);
    if (!(ratio <= maxSpacingRatio)) {
        char message[160];
        std::snprintf(message, sizeof message, "the largest spacing is %g times the smallest; at most %g is supported",
                      ratio, maxSpacingRatio);
        return std::string(message);
    }
    return std::nullopt;
}

double physicalEnergy(float energy, const Spacing& spacing, int longestSide) {
    const double unit = smallest(spacing) * longestSide / 2.0;
    return double(energy) * unit * unit;
}

Spacing planeSpacing(double x, double y) { return Spacing{x, y, std::min(x, y)}; }

int64_t largestLabellingWeight(int longestSide) {
    int doublings = 0;
    while ((int64_t{1024} << doublings) < longestSide) ++doublings;
    return int64_t{1} << (30 - 3 * doublings);
}

AxisWeights labellingWeights(const Spacing& spacing, int longestSide) {
    requireUsable(spacing);
    const int64_t largestWeight = largestLabellingWeight(longestSide);
    std::array<int64_t, 3> weights{};
    if (const auto edges = integerRatios(spacing, largestWeight)) {
        for (int axis = 0; axis < 3; ++axis) weights[axis] = (*edges)[axis] * (*edges)[axis];
    } else {
        const double high = *std::max_element(spacing.begin(), spacing.end());
        for (int axis = 0; axis < 3; ++axis) {
            const double ratio = spacing[axis] / high;
            weights[axis] = std::max<int64_t>(1, std::llround(ratio * ratio * double(largestWeight)));
        }
    }
    const int64_t divisor = std::gcd(std::gcd(weights[0], weights[1]), weights[2]);
    return AxisWeights{weights[0] / divisor, weights[1] / divisor, weights[2] / divisor};
}

AxisScales energyScales(const Spacing& spacing) {
    requireUsable(spacing);
    const double low = smallest(spacing);
    return AxisScales{spacing[0] / low, spacing[1] / low, spacing[2] / low};
}

std::optional<Spacing> parseSpacing(const std::string& text) {
    Spacing spacing{};
    char comma1 = 0, comma2 = 0, rest = 0;
    std::istringstream in(text);
    if (!(in >> spacing[0] >> comma1 >> spacing[1] >> comma2 >> spacing[2]) || comma1 != ',' || comma2 != ',' ||
        (in >> rest))
        return std::nullopt;
    return spacing;
}

std::string describeSpacing(const Spacing& spacing) {
    char text[100];
    std::snprintf(text, sizeof text, "%g x %g x %g", spacing[0], spacing[1], spacing[2]);
    return text;
}

}  // namespace cvt
