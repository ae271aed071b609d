#include "density_array.h"

#include <algorithm>
#include <climits>

#include "device/failure.h"

namespace py = pybind11;

namespace cvt::python {
namespace {

std::optional<formats::SampleType> sampleTypeOf(const py::dtype& type) {
    using formats::SampleType;
    const struct {
        char kind;
        py::ssize_t bytes;
        SampleType type;
    } types[] = {{'u', 1, SampleType::uint8},   {'u', 2, SampleType::uint16},  {'u', 4, SampleType::uint32},
                 {'i', 2, SampleType::int16},   {'i', 4, SampleType::int32},   {'f', 4, SampleType::float32},
                 {'f', 8, SampleType::float64}};
    const bool native = type.attr("isnative").cast<bool>();
    for (const auto& t : types)
        if (native && type.kind() == t.kind && type.itemsize() == t.bytes) return t.type;
    return std::nullopt;
}

}  // namespace

volume::DensityView densityViewOf(const py::array& density, formats::VoxelNaming naming) {
    if (density.ndim() != 3)
        throw InvalidInput("density: a " + std::to_string(density.ndim()) + "-D array; a density has 3 dimensions");
    const std::optional<formats::SampleType> type = sampleTypeOf(density.dtype());
    if (!type)
        throw InvalidInput("density: samples of type " + py::str(density.dtype()).cast<std::string>() +
                           "; uint8, uint16, uint32, int16, int32, float32 and float64 are read");
    volume::DensityView view;
    view.source = "density";
    view.naming = naming;
    view.samples.data = static_cast<const std::byte*>(density.data());
    view.samples.type = *type;
    // The last axis is x, the first z.
    view.samples.shape = formats::VolumeShape{int(std::min<py::ssize_t>(density.shape(2), INT_MAX)),
                                              int(std::min<py::ssize_t>(density.shape(1), INT_MAX)),
                                              int(std::min<py::ssize_t>(density.shape(0), INT_MAX))};
    view.samples.strides = {density.strides(2), density.strides(1), density.strides(0)};
    return view;
}

std::vector<std::array<int, 3>> voxelsOfIndices(const py::array_t<int64_t>& indices) {
    if (indices.ndim() != 2 || indices.shape(1) != 3)
        throw InvalidInput("initial_sites: an array of shape (N, 3) is needed");
    // Beyond the range of int an index is outside every box all the same.
    const auto coordinate = [](int64_t index) { return int(std::clamp<int64_t>(index, INT_MIN, INT_MAX)); };
    const auto at = indices.unchecked<2>();
    std::vector<std::array<int, 3>> voxels(size_t(indices.shape(0)));
    for (py::ssize_t row = 0; row < indices.shape(0); ++row)
        voxels[size_t(row)] = {coordinate(at(row, 2)), coordinate(at(row, 1)), coordinate(at(row, 0))};
    return voxels;
}

}  // namespace cvt::python
