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

void requireSampleBytes(const VolumeFile& volume, const std::string& path) {
    if (volume.shape.x < 1 || volume.shape.y < 1 || volume.shape.z < 1 ||
        volume.samples.size() != volumeBytes(volume.shape, volume.type))
        failAt(path, "the samples do not fill the volume's shape");
}

// The value a sample stands for under the mapping, in double, so that a window over any integer or
// float range loses nothing before the one rounding to float. Non-finite values stay as they are.
double mapped(double value, const DensityMapping& mapping) {
    if (!std::isfinite(value)) return value;
    if (mapping.window) {
        const auto [low, high] = *mapping.window;
        return std::min(std::max(value, low), high) - low;
    }
    if (mapping.clipBelow && value < *mapping.clipBelow) return 0.0;
    return value;
}

bool maps(const DensityMapping& mapping) { return mapping.window || mapping.clipBelow; }

// Reads every sample of the view, x fastest, mapped, into `density` when it is not null. The first pass
// only notes whether something is wrong, so that the usual case stays fast; a second one finds the voxel.
// Only a whole volume can be all zero.
void scanDensity(const SampleView& view, const std::string& source, VoxelNaming naming, const DensityMapping& mapping,
                 float* density, ViewedPart part = {}) {
    if (mapping.window && !((*mapping.window)[0] < (*mapping.window)[1]))
        throw InvalidInput(source + ": the window's low end must lie below its high end");
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
        const bool mapsValues = maps(mapping);
        bool valid = true, nonZero = false;
        firstFailing([&](T stored, size_t index) {
            const double value = mapsValues ? mapped(double(stored), mapping) : double(stored);
            valid &= isDensity(value);
            nonZero |= value != 0;
            if (density != nullptr) density[index] = float(value);
            return true;
        });
        if (!valid) {
            T bad{};
            const auto [x, y, z] = firstFailing([&](T value, size_t) { return isDensity(mapped(double(bad = value), mapping)); });
            const std::string hint = double(bad) < 0 && !mapping.negativeHint.empty() ? "; " + mapping.negativeHint : "";
            throw InvalidInput(source + ": " + densityProblem(bad) + " at voxel " +
                               voxelName(x, y, part.firstPlane + z, naming) + hint);
        }
        if (!nonZero && part.whole) requireNonZeroDensity(false, source, mapping);
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
    switch (naming) {
        case VoxelNaming::xyz: std::snprintf(text, sizeof text, "(%d, %d, %d)", x, y, z); break;
        case VoxelNaming::arrayIndex: std::snprintf(text, sizeof text, "[%d, %d, %d]", z, y, x); break;
        case VoxelNaming::imageIndex: std::snprintf(text, sizeof text, "[%d, %d]", y, x); break;
    }
    return text;
}

std::string sidesName(VolumeShape shape, VoxelNaming naming) {
    char text[80];
    switch (naming) {
        case VoxelNaming::xyz: std::snprintf(text, sizeof text, "%d x %d x %d", shape.x, shape.y, shape.z); break;
        case VoxelNaming::arrayIndex: std::snprintf(text, sizeof text, "(%d, %d, %d)", shape.z, shape.y, shape.x); break;
        case VoxelNaming::imageIndex: std::snprintf(text, sizeof text, "(%d, %d)", shape.y, shape.x); break;
    }
    return text;
}

std::string boxName(VolumeShape shape, VoxelNaming naming) {
    const char* noun = naming == VoxelNaming::xyz ? " box" : naming == VoxelNaming::arrayIndex ? " array" : " image";
    return sidesName(shape, naming) + noun;
}

std::vector<float> densityValues(const SampleView& view, const std::string& source, VoxelNaming naming,
                                 const DensityMapping& mapping, ViewedPart part) {
    std::vector<float> density;
    resizeLarge(density, size_t(view.shape.x) * view.shape.y * view.shape.z);
    scanDensity(view, source, naming, mapping, density.data(), part);
    return density;
}

void requireNonZeroDensity(bool nonZero, const std::string& source, const DensityMapping& mapping) {
    if (!nonZero)
        throw InvalidInput(source + (maps(mapping) ? ": every density value is zero after the mapping"
                                                   : ": every density value is zero"));
}

std::vector<float> slabDensityValues(const VolumeFile& slab, const std::string& path, const DensityMapping& mapping,
                                     int firstPlane) {
    requireSampleBytes(slab, path);
    std::vector<float> density;
    resizeLarge(density, size_t(slab.shape.x) * slab.shape.y * slab.shape.z);
    scanDensity(contiguousView(slab.samples.data(), slab.type, slab.shape), path, VoxelNaming::xyz, mapping,
                density.data(), ViewedPart{firstPlane, false});
    return density;
}

void requireDensity(const SampleView& view, const std::string& source, VoxelNaming naming, ViewedPart part) {
    scanDensity(view, source, naming, {}, nullptr, part);
}

std::vector<float> densityValues(const VolumeFile& volume, const std::string& path, const DensityMapping& mapping) {
    requireSampleBytes(volume, path);
    return densityValues(contiguousView(volume.samples.data(), volume.type, volume.shape), path, VoxelNaming::xyz,
                         mapping);
}

void markNonZero(const SampleView& view, uint8_t* marks) {
    withSampleType(view.type, [&](auto sample) {
        using T = decltype(sample);
        size_t index = 0;
        for (int z = 0; z < view.shape.z; ++z)
            for (int y = 0; y < view.shape.y; ++y) {
                const std::byte* row = view.data + y * view.strides[1] + z * view.strides[2];
                for (int x = 0; x < view.shape.x; ++x) marks[index++] = sampleAt<T>(row + x * view.strides[0], 0) != T(0);
            }
    });
}

void markNonZero(const VolumeFile& volume, uint8_t* marks) {
    markNonZero(contiguousView(volume.samples.data(), volume.type, volume.shape), marks);
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
