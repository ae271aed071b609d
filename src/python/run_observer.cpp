#include "run_observer.h"

#include "interpreter_exit.h"

namespace py = pybind11;

namespace cvt::python {
namespace {

// Without a callback Python is visited only this often to see whether a signal came, so that a fast
// device does not wait for the GIL after every iteration, and Ctrl-C still ends a run at once.
constexpr std::chrono::milliseconds signalCheckInterval(50);

}  // namespace

RunObserver::RunObserver(py::object progress)
    : progress_(std::move(progress)), lastSignalCheck_(std::chrono::steady_clock::now()) {}

void RunObserver::decisionTaken(const CvtDecision& decision) { decisionEnergy_ = decision.energy; }

void RunObserver::iterationDone(int iteration, int levelIndex) {
    if (pythonExiting()) throw RunStopped();
    const std::optional<float> energy = decisionEnergy_;
    decisionEnergy_.reset();
    const auto now = std::chrono::steady_clock::now();
    if (progress_.is_none() && now - lastSignalCheck_ < signalCheckInterval) return;
    lastSignalCheck_ = now;
    const py::gil_scoped_acquire gil;
    try {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress_.is_none())
            progress_(iteration, levelIndex, energy ? py::object(py::float_(double(*energy))) : py::none());
    } catch (py::error_already_set& error) {
        stopReason_.emplace(std::move(error));
        throw RunStopped();
    }
}

void RunObserver::raiseStopReason() {
    if (!stopReason_) raisePythonExiting();
    throw std::move(*stopReason_);
}

}  // namespace cvt::python
