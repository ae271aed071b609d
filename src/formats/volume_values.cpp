// Samples of any type as float densities or as labels, checked.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "large_buffer.h"
#include "volume_file.h"
#include "volume_reading.h"

namespace cvt::formats {
namespace {

// Calls f with a value of the C++ type of `type`'s samples.
template <class F>
decltype(auto) withSampleType(SampleType type, F&& f) {
    switch (type) {
        case SampleType::uint8: return f(uint8_t{});
        case SampleType::int8: return f(int8_t{});
        case SampleType::uint16: return f(uint16_t{});
        case SampleType::int16: return f(int16_t{});
        case SampleType::int32: return f(int32_t{});
        case SampleType::uint32: return f(uint32_t{});
        case SampleType::float32: return f(float{});
        case SampleType::float64: return f(double{});
    }
    throw Failure("unknown sample type");
}

template <class T>
T sampleAt(const std::byte* samples, size_t index) {
    T value;
    std::memcpy(&value, samples + index * sizeof(T), sizeof(T));
    return value;
}

// Finite, not negative, and a float; NaN fails the comparisons.
template <class T>
bool isDensity(T value) {
    if constexpr (std::is_floating_point_v<T>) return value >= 0 && value <= T(FLT_MAX);
    if constexpr (std::is_signed_v<T>) return value >= 0;
    return true;
}

template <class T>
std::string densityProblem(T value) {
    char text[64];
    if constexpr (std::is_integral_v<T>)
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        std::snprintf(text, sizeof text, "%.9g", double(value));
    if (std::isnan(double(value))) return "value NaN";
    if (std::isinf(double(value))) return std::string("infinite value ") + text;
    if (double(value) < 0) return std::string("negative value ") + text;
    return std::string("value ") + text + " beyond float range";
}

std::string voxelText(VolumeShape shape, size_t index) {
    const size_t x = index % size_t(shape.x), y = index / size_t(shape.x) % size_t(shape.y);
    const size_t z = index / (size_t(shape.x) * size_t(shape.y));
    char text[80];
    std::snprintf(text, sizeof text, "(%zu, %zu, %zu)", x, y, z);
    return text;
}

void requireSampleBytes(const VolumeFile& volume, const std::string& path) {
    if (volume.shape.x < 1 || volume.shape.y < 1 || volume.shape.z < 1 ||
        volume.samples.size() != volumeBytes(volume.shape, volume.type))
        failAt(path, "the samples do not fill the volume's shape");
}

}  // namespace

std::vector<float> densityValues(const VolumeFile& volume, const std::string& path, const DensityMapping& mapping) {
    requireSampleBytes(volume, path);
    if (mapping.window && !((*mapping.window)[0] < (*mapping.window)[1]))
        failAt(path, "the window's low end must lie below its high end");
    return withSampleType(volume.type, [&](auto sample) {
        using T = decltype(sample);
        const size_t count = volume.samples.size() / sizeof(T);
        const std::byte* samples = volume.samples.data();
        // Mapped in double, so that a window over any integer or float range loses nothing before the
        // one rounding to float.
        const auto mapped = [&mapping](T value) -> double {
            const double v = double(value);
            if (!std::isfinite(v)) return v;
            if (mapping.window) {
                const auto [low, high] = *mapping.window;
                return std::min(std::max(v, low), high) - low;
            }
            if (mapping.clipBelow && v < *mapping.clipBelow) return 0.0;
            return v;
        };
        std::vector<float> density;
        resizeLarge(density, count);
        // One pass that only notes whether something is wrong, so that the usual case stays fast.
        bool valid = true, nonZero = false;
        for (size_t i = 0; i < count; ++i) {
            const double value = mapped(sampleAt<T>(samples, i));
            valid &= isDensity(value);
            nonZero |= value != 0;
            density[i] = float(value);
        }
        for (size_t i = 0; !valid && i < count; ++i) {
            const T value = sampleAt<T>(samples, i);
            if (isDensity(mapped(value))) continue;
            const std::string hint = double(value) < 0 && !mapping.negativeHint.empty() ? "; " + mapping.negativeHint : "";
            failAt(path, densityProblem(value) + " at voxel " + voxelText(volume.shape, i) + hint);
        }
        if (!nonZero)
            failAt(path, mapping.window || mapping.clipBelow ? "every density value is zero after the mapping"
                                                             : "every density value is zero");
        return density;
    });
}

void markNonZero(const VolumeFile& volume, uint8_t* marks) {
    withSampleType(volume.type, [&](auto sample) {
        using T = decltype(sample);
        for (size_t i = 0; i < sampleCount(volume.shape); ++i) marks[i] = sampleAt<T>(volume.samples.data(), i) != T(0);
    });
}

void scaleSamples(VolumeFile& volume, double slope, double intercept) {
    std::vector<std::byte> scaled;
    resizeLarge(scaled, sampleCount(volume.shape) * sizeof(double));
    withSampleType(volume.type, [&](auto sample) {
        using T = decltype(sample);
        for (size_t i = 0; i < sampleCount(volume.shape); ++i) {
            const double value = double(sampleAt<T>(volume.samples.data(), i)) * slope + intercept;
            std::memcpy(scaled.data() + i * sizeof(double), &value, sizeof(double));
        }
    });
    volume.samples = std::move(scaled);
    volume.type = SampleType::float64;
}

std::vector<uint32_t> labelValues(const VolumeFile& volume, const std::string& path) {
    requireSampleBytes(volume, path);
    return withSampleType(volume.type, [&](auto sample) -> std::vector<uint32_t> {
        using T = decltype(sample);
        if constexpr (std::is_floating_point_v<T> || std::is_signed_v<T>) {
            failAt(path, std::string("labels must be unsigned integers (uint8, uint16 or uint32), not ") +
                             sampleTypeName(volume.type));
        } else {
            std::vector<uint32_t> labels;
            resizeLarge(labels, volume.samples.size() / sizeof(T));
            for (size_t i = 0; i < labels.size(); ++i) labels[i] = sampleAt<T>(volume.samples.data(), i);
            return labels;
        }
    });
}

}  // namespace cvt::formats
