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

void requireSampleBytes(const VolumeFile& volume, const std::string& path) {
    if (volume.shape.x < 1 || volume.shape.y < 1 || volume.shape.z < 1 ||
        volume.samples.size() != volumeBytes(volume.shape, volume.type))
        failAt(path, "the samples do not fill the volume's shape");
}

// Reads every sample of the view, x fastest, into `density` when it is not null. The first pass only
// notes whether something is wrong, so that the usual case stays fast; a second one finds the voxel.
void scanDensity(const SampleView& view, const std::string& source, VoxelNaming naming, float* density) {
    withSampleType(view.type, [&](auto sample) {
        using T = decltype(sample);
        const VolumeShape shape = view.shape;
        const auto [xStride, yStride, zStride] = view.strides;
        const auto firstFailing = [&](auto&& onSample) {
            size_t index = 0;
            for (int z = 0; z < shape.z; ++z)
                for (int y = 0; y < shape.y; ++y) {
                    const std::byte* row = view.data + y * yStride + z * zStride;
                    for (int x = 0; x < shape.x; ++x, ++index)
                        if (!onSample(sampleAt<T>(row + x * xStride, 0), index)) return std::array<int, 3>{x, y, z};
                }
            return std::array<int, 3>{-1, -1, -1};
        };
        bool valid = true, nonZero = false;
        firstFailing([&](T value, size_t index) {
            valid &= isDensity(value);
            nonZero |= value != 0;
            if (density != nullptr) density[index] = float(value);
            return true;
        });
        if (!valid) {
            T bad{};
            const auto [x, y, z] = firstFailing([&](T value, size_t) { return isDensity(bad = value); });
            throw InvalidInput(source + ": " + densityProblem(bad) + " at voxel " + voxelName(x, y, z, naming));
        }
        if (!nonZero) throw InvalidInput(source + ": every density value is zero");
    });
}

}  // namespace

SampleView contiguousView(const void* samples, SampleType type, VolumeShape shape) {
    const int64_t bytes = int64_t(sampleBytes(type));
    return SampleView{static_cast<const std::byte*>(samples), type, shape,
                      {bytes, bytes * shape.x, bytes * shape.x * shape.y}};
}

bool isContiguousFloat(const SampleView& view) {
    const SampleView contiguous = contiguousView(view.data, SampleType::float32, view.shape);
    return view.type == SampleType::float32 && view.strides == contiguous.strides;
}

std::string voxelName(int x, int y, int z, VoxelNaming naming) {
    char text[80];
    if (naming == VoxelNaming::xyz)
        std::snprintf(text, sizeof text, "(%d, %d, %d)", x, y, z);
    else
        std::snprintf(text, sizeof text, "[%d, %d, %d]", z, y, x);
    return text;
}

std::vector<float> densityValues(const SampleView& view, const std::string& source, VoxelNaming naming) {
    std::vector<float> density;
    resizeLarge(density, size_t(view.shape.x) * view.shape.y * view.shape.z);
    scanDensity(view, source, naming, density.data());
    return density;
}

void requireDensity(const SampleView& view, const std::string& source, VoxelNaming naming) {
    scanDensity(view, source, naming, nullptr);
}

std::vector<float> densityValues(const VolumeFile& volume, const std::string& path) {
    requireSampleBytes(volume, path);
    return densityValues(contiguousView(volume.samples.data(), volume.type, volume.shape), path);
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
