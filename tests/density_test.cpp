// The density field: every value as the full formula gives it, evaluated step by step in the stated
// precisions without any hoisting, and the values that the field is known by.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>

#include "host/density.h"

namespace cvt {
namespace {

// One voxel's density straight from the formula.
float formulaDensity(int x, int y, int z) {
    const float u = (static_cast<float>(x) - 128.0f) * 0.001953125f;
    const float v = (static_cast<float>(y) - 128.0f) * 0.001953125f;
    const float w = (static_cast<float>(z) - 128.0f) * 0.001953125f;
    const float pi = 3.14159274f;
    const double sx = std::sin(static_cast<double>(u * pi));
    const double sy = std::sin(static_cast<double>(v * pi));
    const double sz = std::sin(static_cast<double>(w * pi));
    const float squaredRadius = w * w + (v * v + u * u);
    const double gaussian = std::exp(static_cast<double>(squaredRadius) * -20.0);
    // Stored through a volatile so that the compiler cannot fuse the last product into the sum.
    const volatile double ripple = (((((sx * 0.05) * sx) * sy) * sy) * sz) * sz;
    return static_cast<float>(gaussian + ripple);
}

size_t voxelIndex(int x, int y, int z) { return size_t(x) + 256 * size_t(y) + 65536 * size_t(z); }

class DensityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        volume_.reset(new float[densityVoxels]);
        synthesizeDensity(volume_.get());
    }
    static void TearDownTestSuite() { volume_.reset(); }

    static float at(int x, int y, int z) { return volume_[voxelIndex(x, y, z)]; }

    // Bit-identity with the formula, which float equality gives here since no value is a NaN.
    static void expectFormula(int x, int y, int z) {
        ASSERT_EQ(at(x, y, z), formulaDensity(x, y, z)) << "voxel (" << x << ", " << y << ", " << z << ")";
    }

    static std::unique_ptr<float[]> volume_;
};

std::unique_ptr<float[]> DensityTest::volume_;

TEST_F(DensityTest, KnownValues) {
    EXPECT_EQ(at(128, 128, 128), 1.0f);
    EXPECT_NEAR(at(0, 0, 0), 0.02976775, 1e-8);
    EXPECT_NEAR(at(0, 128, 128), 0.2865048, 1e-7);
    EXPECT_EQ(at(128, 128, 0), at(0, 128, 128));
    EXPECT_NEAR(at(192, 128, 128), 0.7316156, 1e-7);
    EXPECT_NEAR(at(255, 255, 255), 0.03095392, 1e-8);
    for (auto [x, y, z] : {std::array{128, 128, 128}, std::array{0, 0, 0}, std::array{0, 128, 128},
                           std::array{128, 128, 0}, std::array{192, 128, 128}, std::array{255, 255, 255}})
        expectFormula(x, y, z);
}

TEST_F(DensityTest, WholeCentralPlanesAndEdgesMatchTheFormula) {
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            expectFormula(128, a, b);
            expectFormula(a, 128, b);
            expectFormula(a, b, 128);
            expectFormula(a, b, 0);
            expectFormula(255, a, b);
        }
}

TEST_F(DensityTest, RandomVoxelsMatchTheFormula) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> coordinate(0, 255);
    for (int sample = 0; sample < 1000000; ++sample) expectFormula(coordinate(random), coordinate(random), coordinate(random));
}

TEST_F(DensityTest, EveryValueIsPositiveAndTheRippleVanishesOnTheCentralPlanes) {
    for (size_t i = 0; i < densityVoxels; ++i) ASSERT_GT(volume_[i], 0.0f) << i;
    // On x = 128 the ripple is exactly 0, so the value is the Gaussian alone.
    for (int y = 0; y < 256; ++y)
        for (int z = 0; z < 256; ++z) {
            const float v = (static_cast<float>(y) - 128.0f) / 512.0f, w = (static_cast<float>(z) - 128.0f) / 512.0f;
            ASSERT_EQ(at(128, y, z), static_cast<float>(std::exp(static_cast<double>(w * w + v * v) * -20.0)));
        }
}

}  // namespace
}  // namespace cvt
