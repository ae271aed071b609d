#include "interpreter_exit.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace py = pybind11;

namespace cvt::python {
namespace {

std::atomic<bool> exiting{false};
std::mutex staysMutex;
std::condition_variable stayEnded;
int stays = 0;

void waitForStays() {
    exiting = true;
    const py::gil_scoped_release released;
    std::unique_lock<std::mutex> lock(staysMutex);
    stayEnded.wait(lock, [] { return stays == 0; });
}

}  // namespace

bool pythonExiting() { return exiting.load(std::memory_order_relaxed); }

void raisePythonExiting() {
    PyErr_SetString(PyExc_SystemExit, "Python is exiting: the run was stopped");
    throw py::error_already_set();
}

void stopRunsAtExit() { py::module_::import("atexit").attr("register")(py::cpp_function(&waitForStays)); }

GilFreeStay::GilFreeStay() {
    // `exiting` is set with the GIL held, as this runs: no stay begins after the hook looked.
    if (pythonExiting()) raisePythonExiting();
    const std::lock_guard<std::mutex> lock(staysMutex);
    ++stays;
}

GilFreeStay::~GilFreeStay() {
    const std::lock_guard<std::mutex> lock(staysMutex);
    if (--stays == 0) stayEnded.notify_all();
}

}  // namespace cvt::python
