// What a Python caller hears of a run that goes on with the GIL released: its progress callback, and
// the signals Python has caught (Ctrl-C), both on the thread that runs the driver; and Python's exit,
// which stops the run.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>
#include <stdexcept>

#include "driver/cvt_request.h"

namespace cvt::python {

// Thrown through the driver to end the run; the Python error it stands for waits in the observer.
class RunStopped : public std::exception {
public:
    const char* what() const noexcept override { return "the run was stopped by Python"; }
};

class RunObserver : public CvtObserver {
public:
    // `progress`: None, or called as progress(iteration, level, energy or None) after every iteration.
    explicit RunObserver(pybind11::object progress);

    void decisionTaken(const CvtDecision& decision) override;
    void iterationDone(int iteration, int levelIndex) override;

    // Raises in Python what ended the run, after RunStopped reached the caller (which holds the GIL):
    // the callback's exception or the signal's, else SystemExit, Python's exit.
    [[noreturn]] void raiseStopReason();

private:
    pybind11::object progress_;
    std::optional<float> decisionEnergy_;
    std::chrono::steady_clock::time_point lastSignalCheck_;
    std::optional<pybind11::error_already_set> stopReason_;
};

}  // namespace cvt::python
