// Samples of any type as float densities or as labels, checked.
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

std::vector<float> densityValues(const VolumeFile& volume, const std::string& path) {
    requireSampleBytes(volume, path);
    return withSampleType(volume.type, [&](auto sample) {
        using T = decltype(sample);
        const size_t count = volume.samples.size() / sizeof(T);
        const std::byte* samples = volume.samples.data();
        std::vector<float> density;
        resizeLarge(density, count);
        // One pass that only notes whether something is wrong, so that the usual case stays fast.
        bool valid = true, nonZero = false;
        for (size_t i = 0; i < count; ++i) {
            const T value = sampleAt<T>(samples, i);
            valid &= isDensity(value);
            nonZero |= value != 0;
            density[i] = float(value);
        }
        for (size_t i = 0; !valid && i < count; ++i)
            if (!isDensity(sampleAt<T>(samples, i)))
                failAt(path, densityProblem(sampleAt<T>(samples, i)) + " at voxel " + voxelText(volume.shape, i));
        if (!nonZero) failAt(path, "every density value is zero");
        return density;
    });
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
