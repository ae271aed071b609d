#include "any_backend.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "device/backends.h"
#include "interpreter_exit.h"
#include "run_observer.h"

namespace cvt::python {

using TessellateFunction = volume::TessellationRun(const volume::DensityView&, const volume::TessellationParameters&,
                                                   CvtObserver*);

}  // namespace cvt::python

#define CVT_DECLARE_TESSELLATE(ns)                     \
    namespace cvt::ns {                                \
    python::TessellateFunction tessellate;             \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_TESSELLATE)

namespace cvt::python {
namespace {

#define CVT_TESSELLATE(ns) CVT_BACKEND_ENTRY(ns, tessellate)
const BackendEntry<TessellateFunction> backends[] = {CVT_FOR_EACH_BACKEND(CVT_TESSELLATE)};

// The buffer set is the process's own: runs take turns. A run started from inside another (by its
// observer) would wait for itself, so it is refused instead.
std::mutex runTurn;
std::atomic<std::thread::id> runningThread;

}  // namespace

volume::TessellationRun tessellateOnAnyBackend(const volume::DensityView& density,
                                               const volume::TessellationParameters& parameters,
                                               CvtObserver* observer) {
    // Probing a GPU costs a driver start-up: once is enough for the process.
    static const BackendChoice<BackendEntry<TessellateFunction>> choice = pickBackend(backends);
    if (choice.entry == nullptr) throw Failure("no backend can run here: " + choice.skipped);
    if (runningThread.load() == std::this_thread::get_id())
        throw Failure("a run cannot start while this thread is inside another one");
    const std::lock_guard<std::mutex> turn(runTurn);
    if (pythonExiting()) throw RunStopped();  // Python's exit stopped the run this one waited for
    runningThread = std::this_thread::get_id();
    struct Leave {
        ~Leave() { runningThread = std::thread::id(); }
    } leave;
    return choice.entry->run(density, parameters, observer);
}

}  // namespace cvt::python
