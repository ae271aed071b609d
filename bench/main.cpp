// cvt-bench: one "key: value" line per figure, in seconds, for every backend that can run here.
// Figures of the CPU simulation carry their plain names; those of a GPU carry the prefix "gpu_".
//   cvt-bench              the figures of every subsystem
//   cvt-bench --full-run   the program's whole default run, by parts, on the preferred backend only
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "device/backends.h"

#define CVT_DECLARE_BENCH(ns) \
    namespace cvt::ns {       \
    void runBenchmarks();     \
    void runFullRun();        \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_BENCH)

namespace {

struct Backend {
    const char* name;
    std::optional<std::string> (*unavailable)();
    void (*fullRun)();
};
#define CVT_BACKEND_ENTRY(ns) Backend{#ns, &cvt::ns::unavailableReason, &cvt::ns::runFullRun},
const Backend backends[] = {CVT_FOR_EACH_BACKEND(CVT_BACKEND_ENTRY)};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--full-run") {
        const Backend* backend = cvt::chooseBackend(backends, "cvt-bench");
        if (backend == nullptr) return 1;
        try {
            backend->fullRun();
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "cvt-bench: %s\n", failure.what());
            return 1;
        }
        return 0;
    }
#define CVT_RUN_BENCH(ns)                                                                           \
    if (const auto why = cvt::ns::unavailableReason()) {                                           \
        std::printf("# %s backend skipped: %s\n", #ns, why->c_str());                             \
    } else {                                                                                        \
        std::printf("# %s backend: %s\n", #ns, cvt::ns::deviceName().c_str());                    \
        std::fflush(stdout);                                                                        \
        cvt::ns::runBenchmarks();                                                                   \
    }
    CVT_FOR_EACH_BACKEND(CVT_RUN_BENCH)
    return 0;
}
