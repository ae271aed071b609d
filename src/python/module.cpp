// The compiled part of the Python package: cvt._cvt.tessellate, which the package's tessellate wraps.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "any_backend.h"
#include "density_array.h"
#include "run_observer.h"
#include "volume/adjacency.h"
#include "volume/summary.h"

namespace py = pybind11;

namespace cvt::python {
namespace {

// An array that owns the vector it shows, so that large results reach Python without a copy.
template <class T>
py::array_t<T> arrayOwning(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    const py::capsule free(owned, [](void* vector) { delete static_cast<std::vector<T>*>(vector); });
    return py::array_t<T>(std::move(shape), owned->data(), free);
}

volume::Seeding seedingNamed(const std::string& name) {
    if (name == "density") return volume::Seeding::density;
    if (name == "uniform") return volume::Seeding::uniform;
    throw InvalidInput("seeding must be \"density\" or \"uniform\", not \"" + name + "\"");
}

py::dict resultOf(volume::TessellationRun&& run, const py::array& density, const Spacing& spacing) {
    volume::Tessellation& t = run.tessellation;
    std::vector<formats::AdjacencyRow> adjacency = volume::labelAdjacency(t.labels, t.box, spacing);
    const py::ssize_t pairs = py::ssize_t(adjacency.size());
    const py::ssize_t sites = py::ssize_t(t.sites.size());
    std::vector<int64_t> indices;
    indices.reserve(t.sites.size() * 3);
    for (const auto& [x, y, z] : t.sites) indices.insert(indices.end(), {z, y, x});
    py::list history;
    for (const CvtDecision& d : run.report.decisions)
        history.append(py::dict(py::arg("iteration") = d.iteration, py::arg("level") = d.levelIndex,
                                py::arg("energy") = double(d.energy), py::arg("relaxation") = double(d.relaxation)));
    py::dict result;
    result["labels"] = arrayOwning(std::move(t.labels), {density.shape(0), density.shape(1), density.shape(2)});
    result["sites"] = arrayOwning(std::move(indices), {sites, 3});
    result["mass"] = arrayOwning(std::move(t.mass), {sites});
    result["voxels"] = arrayOwning(std::vector<int64_t>(t.voxels.begin(), t.voxels.end()), {sites});
    result["pieces"] = arrayOwning(std::vector<int64_t>(t.pieces.begin(), t.pieces.end()), {sites});
    result["first_id"] = t.firstId;
    result["adjacency"] = arrayOwning(std::move(adjacency), {pairs});
    result["energy"] = double(run.energy);
    result["history"] = history;
    result["stop"] = volume::stopName(run.report.stop);
    result["iterations"] = run.lastIteration;
    result["device"] = run.device;
    result["backend"] = run.backend;
    return result;
}

// Counts beyond int are out of every range the run checks, and stay so.
int narrowed(int64_t count) { return int(std::clamp<int64_t>(count, INT_MIN, INT_MAX)); }

// A mask of 0 and 1 flags, C order, of the density's shape: its last axis is x, as the density's is.
formats::SampleView maskViewOf(const py::array_t<uint8_t, py::array::c_style>& mask) {
    if (mask.ndim() != 3) throw InvalidInput("mask: a 3-D array is needed");
    const formats::VolumeShape shape{int(mask.shape(2)), int(mask.shape(1)), int(mask.shape(0))};
    return formats::contiguousView(mask.data(), formats::SampleType::uint8, shape);
}

// The spacing of the array's axes, first axis first, as the run takes it: x (the last axis) first.
Spacing spacingOfAxes(const std::array<double, 3>& axes) {
    const Spacing spacing{axes[2], axes[1], axes[0]};
    if (const auto problem = spacingProblem(spacing)) throw InvalidInput("spacing: " + *problem);
    return spacing;
}

py::dict tessellate(const py::array& density, int64_t sites, uint64_t seed, const std::string& seeding,
                    const std::optional<py::array_t<int64_t>>& initialSites, int64_t maxIterations, int64_t levels,
                    bool deterministic, const py::object& progress,
                    const std::optional<py::array_t<uint8_t, py::array::c_style>>& mask,
                    const std::optional<double>& maskAbove, const std::optional<std::array<double, 3>>& spacing,
                    const std::optional<std::array<double, 2>>& window, const std::optional<double>& clipBelow,
                    bool connected) {
    const volume::DensityView view = densityViewOf(density);
    volume::TessellationParameters parameters;
    parameters.sites = narrowed(sites);
    parameters.seed = seed;
    parameters.seeding = seedingNamed(seeding);
    if (initialSites) {
        parameters.initialSites = voxelsOfIndices(*initialSites);
        parameters.initialSitesSource = "initial_sites";
    }
    parameters.maxIterations = narrowed(maxIterations);
    parameters.levels = narrowed(levels);
    parameters.deterministic = deterministic;
    if (mask) parameters.mask = maskViewOf(*mask);
    parameters.maskAbove = maskAbove;
    if (spacing) parameters.spacing = spacingOfAxes(*spacing);
    parameters.mapping.window = window;
    parameters.mapping.clipBelow = clipBelow;
    parameters.mapping.negativeHint = "map negative values with window=(lo, hi) or clip_below=v";
    parameters.connected = connected;

    RunObserver observer(progress);
    std::optional<volume::TessellationRun> run;
    try {
        const py::gil_scoped_release released;
        run = tessellateOnAnyBackend(view, parameters, &observer);
    } catch (const RunStopped&) {
        observer.raiseStopReason();
    }
    return resultOf(std::move(*run), density, parameters.spacing);
}

}  // namespace
}  // namespace cvt::python

PYBIND11_MODULE(_cvt, module) {
    module.doc() = "The compiled core of cvt; use cvt.tessellate.";
    PYBIND11_NUMPY_DTYPE(cvt::formats::AdjacencyRow, a, b, faces, area);  // the rows of result.adjacency
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const cvt::InvalidInput& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const cvt::MemoryShortfall& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
    module.def("tessellate", &cvt::python::tessellate, py::arg("density"), py::arg("sites"), py::arg("seed"),
               py::arg("seeding"), py::arg("initial_sites"), py::arg("max_iterations"), py::arg("levels"),
               py::arg("deterministic"), py::arg("progress"), py::arg("mask"), py::arg("mask_above"),
               py::arg("spacing"), py::arg("window"), py::arg("clip_below"), py::arg("connected"),
               "The run on a 3-D array; see cvt.tessellate, which checks and documents the arguments.");
}
