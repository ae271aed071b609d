#include "density.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

// The field must come out the same bit for bit on every build. Two things could change it: a product
// contracted into a fused multiply-add (this library is built with -ffp-contract=off, so the compiler
// rounds every product and sum on its own), and intermediates held in wider registers than their type,
// which the check below rules out.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "the density must be computed in exactly float and double precision (no x87 excess precision)"
#endif

namespace cvt {
namespace {

constexpr float singlePi = 3.14159274f;  // the float nearest to pi
constexpr double rippleScale = 0.05;
constexpr double gaussianExponent = -20.0;

// Normalised coordinate of a grid index: from -0.25 to 0.248046875 in steps of 2^-9, 0 at 128.
float normalised(int index) { return (static_cast<float>(index) - 128.0f) * 0.001953125f; }

// Sine of the normalised coordinate times pi: the product in float, the sine in double.
double axisSine(float normalisedCoordinate) { return std::sin(static_cast<double>(normalisedCoordinate * singlePi)); }

// Everything a voxel's value needs that depends on fewer than all three coordinates. Each term keeps
// the association order of the full formula
//     r2     = w*w + (v*v + u*u)                                   (float)
//     ripple = (((((s_x * 0.05) * s_x) * s_y) * s_y) * s_z) * s_z  (double)
//     rho    = float(exp(double(r2) * -20.0) + ripple)
// so that the hoisted evaluation rounds exactly where the full one does.
struct HoistedTerms {
    std::vector<float> squaredRadiusXY;   // v*v + u*u, per (x, y) at x + 256*y
    std::vector<double> rippleXY;         // ((((s_x * 0.05) * s_x) * s_y) * s_y), per (x, y)
    std::vector<float> squareZ;           // w*w, per z
    std::vector<double> sineZ;            // s_z, per z
};

HoistedTerms hoistTerms() {
    HoistedTerms terms{std::vector<float>(densityEdge * densityEdge), std::vector<double>(densityEdge * densityEdge),
                       std::vector<float>(densityEdge), std::vector<double>(densityEdge)};
    std::vector<float> square(densityEdge);
    std::vector<double> sine(densityEdge);
    for (int i = 0; i < densityEdge; ++i) {
        const float coordinate = normalised(i);
        square[i] = coordinate * coordinate;
        sine[i] = axisSine(coordinate);
    }
    for (int x = 0; x < densityEdge; ++x) {
        const double rippleX = (sine[x] * rippleScale) * sine[x];
        for (int y = 0; y < densityEdge; ++y) {
            terms.squaredRadiusXY[x + densityEdge * y] = square[y] + square[x];
            terms.rippleXY[x + densityEdge * y] = (rippleX * sine[y]) * sine[y];
        }
    }
    terms.squareZ = square;
    terms.sineZ = sine;
    return terms;
}

// Fills the z-slices [firstZ, endZ): whole slices, so each thread writes its own contiguous memory.
void synthesizeSlices(const HoistedTerms& terms, float* volume, int firstZ, int endZ) {
    for (int z = firstZ; z < endZ; ++z) {
        const float squareZ = terms.squareZ[z];
        const double sineZ = terms.sineZ[z];
        float* slice = volume + size_t(densityEdge) * densityEdge * z;
        for (int xy = 0; xy < densityEdge * densityEdge; ++xy) {
            const float squaredRadius = squareZ + terms.squaredRadiusXY[xy];
            const double gaussian = std::exp(static_cast<double>(squaredRadius) * gaussianExponent);
            const double ripple = (terms.rippleXY[xy] * sineZ) * sineZ;
            slice[xy] = static_cast<float>(gaussian + ripple);
        }
    }
}

}  // namespace

void synthesizeDensity(float* volume) {
    const HoistedTerms terms = hoistTerms();
    const int threadCount = static_cast<int>(std::max(1u, std::min(16u, std::thread::hardware_concurrency())));
    std::vector<std::thread> helpers;
    for (int t = 1; t < threadCount; ++t) {
        const int firstZ = densityEdge * t / threadCount, endZ = densityEdge * (t + 1) / threadCount;
        try {
            helpers.emplace_back(synthesizeSlices, std::cref(terms), volume, firstZ, endZ);
        } catch (const std::system_error&) {
            synthesizeSlices(terms, volume, firstZ, endZ);  // no thread to spare: do the share here
        }
    }
    synthesizeSlices(terms, volume, 0, densityEdge / threadCount);
    for (std::thread& helper : helpers) helper.join();
}

}  // namespace cvt
