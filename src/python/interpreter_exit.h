// Python may exit while a run goes on in another thread: a daemon thread, or one whose join Ctrl-C
// interrupted. The interpreter then ends every thread that reaches for the GIL by unwinding it from
// inside that call, and a run's thread reaches for it in a destructor (the one that takes the GIL back
// after the run), which aborts the whole process. So the module's atexit hook, which Python calls once
// the threads it waits for have ended and before it goes down, stops the runs still going at their next
// iteration and waits until every thread has left them and holds the GIL again; a run asked for after
// that is refused.
#pragma once

#include <pybind11/pybind11.h>

namespace cvt::python {

// Whether Python is exiting: a run stops at its next iteration then.
bool pythonExiting();

// Raises SystemExit in Python, which ends a thread quietly: the run it asked for cannot go on.
[[noreturn]] void raisePythonExiting();

// Registers the hook with Python's atexit.
void stopRunsAtExit();

// A thread's stay outside the GIL, which Python's exit waits for: made with the GIL held (SystemExit
// once Python is exiting), and ended with it held again.
class GilFreeStay {
public:
    GilFreeStay();
    ~GilFreeStay();
    GilFreeStay(const GilFreeStay&) = delete;
    GilFreeStay& operator=(const GilFreeStay&) = delete;
};

// Runs `work` with the GIL released, as a stay that Python's exit waits for.
template <class Work>
auto withoutGil(Work&& work) {
    const GilFreeStay stay;
    const pybind11::gil_scoped_release released;  // taken back before the stay ends
    return work();
}

}  // namespace cvt::python
