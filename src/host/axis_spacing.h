// Voxel spacing: how far apart voxels lie along each axis, and what the labelling and the energy make
// of it. Only the ratios between the axes change a tessellation, so both work with the spacing divided
// by its smallest value: an isotropic spacing of any size gives weights and scales of exactly 1, and
// with them the labelling and the energy of cubic voxels bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace cvt {

using Spacing = std::array<double, 3>;  // x, y, z

// The largest ratio of the largest spacing to the smallest that the labelling takes: on a grid of sides
// up to 1024 its integer weights then keep a relative precision of 2^-10 or better (they are exact for
// ratios of small integers whatever the ratio up to this bound), and every product it forms stays
// within 64 bits. Larger grids take smaller weights (below): past a side of 8192, at most 2^18, where
// a ratio past 512 weighs as 512 does.
constexpr double maxSpacingRatio = 1024;

// The squared spacings as integers of the same ratios, which the labelling compares distances with:
// (w.x dx^2 + w.y dy^2 + w.z dz^2) in 64-bit integers. Its construction pass multiplies such sums by
// offsets once more, so the weights of a grid with longest side S keep (w.x + w.y + w.z) S^3 below
// 2^62: at most 2^30 each up to S = 1024, and 8 times less for every doubling of S beyond (2^18 at
// the longest side, 16384: 3 * 2^18 * 2^42 < 2^62).
struct AxisWeights {
    int64_t x = 1, y = 1, z = 1;
};

// The spacing divided by its smallest value, which the energy scales the offsets of every axis by.
struct AxisScales {
    double x = 1, y = 1, z = 1;
};

// Why `spacing` cannot be used (an axis not positive or not finite, or a ratio beyond
// maxSpacingRatio), naming the axis as `axisNames` (x first) do; nothing when it can.
std::optional<std::string> spacingProblem(const Spacing& spacing,
                                          const std::array<const char*, 3>& axisNames = {"x", "y", "z"});

// The spacing of an image, a box of one plane with spacings x and y: no distance in it depends on z,
// whose spacing is the smaller of the two, so that neither the ratio limit nor the energy's unit does.
Spacing planeSpacing(double x, double y);

// The largest weight for a grid whose longest side is `longestSide`.
int64_t largestLabellingWeight(int longestSide);

// The weights of a usable spacing on a grid whose longest side is `longestSide`. With L its largest
// weight: when the spacings are in the ratios of integers whose squares are at most L (as decimal
// spacings such as 0.7 and 2.5 are, within a relative 1e-6 that absorbs their rounding to binary), the
// weights are the squares of those integers and equal physical distances compare equal; otherwise
// they are the squared ratios rounded on a scale that puts the largest at L. Either way they are
// divided by their greatest common divisor. Throws cvt::Failure for an unusable spacing.
AxisWeights labellingWeights(const Spacing& spacing, int longestSide = 1024);

// The energy's scales of a usable spacing (cvt::Failure for an unusable one).
AxisScales energyScales(const Spacing& spacing);

// A run's energy measures offsets in units of the smallest spacing, scaled by 2 / E (E the longest side
// of its grid): undone, it is the sum of the normalised density times the squared physical distance,
// in the spacing's own units.
double physicalEnergy(float energy, const Spacing& spacing, int longestSide);

// "SX,SY,SZ" as three numbers, x first; nothing for any other text. Whether they are usable is
// spacingProblem's to say.
std::optional<Spacing> parseSpacing(const std::string& text);

// "X x Y x Z", as the messages and the summary show a spacing.
std::string describeSpacing(const Spacing& spacing);

}  // namespace cvt
