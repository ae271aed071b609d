// The compiled part of the Python package: cvt._cvt.tessellate, which the package's tessellate wraps.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "any_backend.h"
#include "cvt_version.h"
#include "density_array.h"
#include "interpreter_exit.h"
#include "run_observer.h"
#include "tessellation/adjacency.h"

namespace py = pybind11;

namespace cvt::python {
namespace {

// An array that owns the vector it shows, so that large results reach Python without a copy; its
// elements are shown as `Shown`, a type of the same size.
template <class T, class Shown = T>
py::array_t<Shown> arrayOwning(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
    static_assert(sizeof(T) == sizeof(Shown));
    auto* owned = new std::vector<T>(std::move(values));
    const py::capsule free(owned, [](void* vector) { delete static_cast<std::vector<T>*>(vector); });
    return py::array_t<Shown>(std::move(shape), reinterpret_cast<const Shown*>(owned->data()), free);
}

volume::Seeding seedingNamed(const std::string& name) {
    if (name == "density") return volume::Seeding::density;
    if (name == "uniform") return volume::Seeding::uniform;
    throw InvalidInput("seeding must be \"density\" or \"uniform\", not \"" + name + "\"");
}

py::dict resultOf(volume::TessellationRun&& run, const volume::TessellationParameters& parameters,
                  const py::array& density) {
    volume::Tessellation& t = run.tessellation;
    std::vector<formats::AdjacencyRow> adjacency = volume::labelAdjacency(t.labels, t.box, parameters.spacing);
    const py::ssize_t pairs = py::ssize_t(adjacency.size());
    const py::ssize_t sites = py::ssize_t(t.sites.size());
    std::vector<int64_t> indices;
    indices.reserve(t.sites.size() * 3);
    for (const auto& [x, y, z] : t.sites) indices.insert(indices.end(), {z, y, x});
    std::vector<double> centroids;
    centroids.reserve(t.centroids.size() * 3);
    for (const auto& [x, y, z] : t.centroids) centroids.insert(centroids.end(), {z, y, x});
    py::list history;
    for (const CvtDecision& d : run.report.decisions)
        history.append(py::dict(py::arg("iteration") = d.iteration, py::arg("level") = d.levelIndex,
                                py::arg("energy") = double(d.energy), py::arg("relaxation") = double(d.relaxation),
                                py::arg("sites_moved") = d.sitesMoved >= 0 ? py::object(py::int_(d.sitesMoved))
                                                                            : py::object(py::none())));
    py::dict result;
    // Ids stay below 2^31 (a run's site count is an int): int32, so that arithmetic on labels does not wrap.
    result["labels"] = arrayOwning<uint32_t, int32_t>(std::move(t.labels),
                                                       {density.shape(0), density.shape(1), density.shape(2)});
    result["sites"] = arrayOwning(std::move(indices), {sites, 3});
    result["mass"] = arrayOwning(std::move(t.mass), {sites});
    result["centroids"] = arrayOwning(std::move(centroids), {sites, 3});
    result["voxels"] = arrayOwning(std::vector<int64_t>(t.voxels.begin(), t.voxels.end()), {sites});
    result["pieces"] = arrayOwning(std::vector<int64_t>(t.pieces.begin(), t.pieces.end()), {sites});
    result["initial_index"] = arrayOwning(std::move(t.initialIndex), {sites});
    result["first_id"] = t.firstId;
    result["adjacency"] = arrayOwning(std::move(adjacency), {pairs});
    result["energy"] = double(run.energy);
    result["energy_physical"] = physicalEnergy(run.energy, parameters.spacing, run.grid.longestSide());
    result["seed"] = parameters.seed;
    result["history"] = history;
    result["stop"] = stopName(run.report.stop);
    result["plain_steps"] = run.report.plainSteps;
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

// The spacing of the array's axes, first axis first (two for an image), as the run takes it: x (the
// last axis) first.
Spacing spacingOfAxes(const std::vector<double>& axes, formats::VoxelNaming naming) {
    const bool image = naming == formats::VoxelNaming::imageIndex;
    if (axes.size() != (image ? 2u : 3u)) throw InvalidInput("spacing: one value per axis is needed");
    const Spacing spacing = image ? planeSpacing(axes[1], axes[0]) : Spacing{axes[2], axes[1], axes[0]};
    const std::array<const char*, 3> names = image ? std::array<const char*, 3>{"axis 1", "axis 0", "the plane axis"}
                                                   : std::array<const char*, 3>{"axis 2", "axis 1", "axis 0"};
    if (const auto problem = spacingProblem(spacing, names)) throw InvalidInput("spacing: " + *problem);
    return spacing;
}

py::dict tessellate(const py::array& density, bool image, int64_t sites, uint64_t seed, const std::string& seeding,
                    const std::optional<py::array_t<int64_t>>& initialSites, int64_t maxIterations, int64_t levels,
                    int64_t startLabel, bool deterministic, const py::object& progress,
                    const std::optional<py::array_t<uint8_t, py::array::c_style>>& mask,
                    const std::optional<double>& maskAbove, const std::optional<std::vector<double>>& spacing,
                    const std::optional<std::array<double, 2>>& window, const std::optional<double>& clipBelow,
                    bool connected) {
    const volume::DensityView view =
        densityViewOf(density, image ? formats::VoxelNaming::imageIndex : formats::VoxelNaming::arrayIndex);
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
    if (startLabel != 0 && startLabel != 1) throw InvalidInput("start_label must be 0 or 1, not " + std::to_string(startLabel));
    parameters.startLabel = uint32_t(startLabel);
    parameters.deterministic = deterministic;
    if (mask) parameters.mask = maskViewOf(*mask);
    parameters.maskAbove = maskAbove;
    if (spacing) parameters.spacing = spacingOfAxes(*spacing, view.naming);
    parameters.mapping.window = window;
    parameters.mapping.clipBelow = clipBelow;
    parameters.mapping.negativeHint = "map negative values with window=(lo, hi) or clip_below=v";
    parameters.connected = connected;

    RunObserver observer(progress);
    std::optional<volume::TessellationRun> run;
    try {
        run = withoutGil([&] { return tessellateOnAnyBackend(view, parameters, &observer); });
    } catch (const RunStopped&) {
        observer.raiseStopReason();
    }
    return resultOf(std::move(*run), parameters, density);
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
    module.attr("__version__") = CVT_VERSION;
    cvt::python::stopRunsAtExit();
    module.def("tessellate", &cvt::python::tessellate, py::arg("density"), py::arg("image"), py::arg("sites"),
               py::arg("seed"), py::arg("seeding"), py::arg("initial_sites"), py::arg("max_iterations"),
               py::arg("levels"), py::arg("start_label"), py::arg("deterministic"), py::arg("progress"), py::arg("mask"),
               py::arg("mask_above"), py::arg("spacing"), py::arg("window"), py::arg("clip_below"), py::arg("connected"),
               "The run on a 3-D array (an image as one plane); see cvt.tessellate, which checks and documents "
               "the arguments.");
}
