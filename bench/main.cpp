// cvt-bench: one "key: value" line per figure, in seconds, for every backend that can run here.
// Figures of the CPU simulation carry their plain names; those of a GPU carry the prefix "gpu_".
//   cvt-bench              the figures of every subsystem
//   cvt-bench GROUP...     only the named groups (host, formats, preview, device, voronoi, centroid,
//                          driver, energy)
//   cvt-bench --full-run   the program's whole default run, by parts, on the preferred backend only
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "device/backends.h"

#define CVT_DECLARE_BENCH(ns)                                   \
    namespace cvt::ns {                                         \
    void runBenchmarks(const std::vector<std::string>& groups); \
    void runFullRun();                                          \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_BENCH)

namespace {
#define CVT_FULL_RUN(ns) CVT_BACKEND_ENTRY(ns, runFullRun)
const cvt::BackendEntry<void()> fullRuns[] = {CVT_FOR_EACH_BACKEND(CVT_FULL_RUN)};
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--full-run") {
        const auto* fullRun = cvt::chooseBackend(fullRuns, "cvt-bench");
        if (fullRun == nullptr) return 1;
        try {
            fullRun->run();
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "cvt-bench: %s\n", failure.what());
            return 1;
        }
        return 0;
    }
    const std::vector<std::string> groups(argv + 1, argv + argc);
#define CVT_RUN_BENCH(ns)                                                                           \
    if (const auto why = cvt::ns::unavailableReason()) {                                           \
        std::printf("# %s backend skipped: %s\n", #ns, why->c_str());                             \
    } else {                                                                                        \
        std::printf("# %s backend: %s\n", #ns, cvt::ns::deviceName().c_str());                    \
        std::fflush(stdout);                                                                        \
        cvt::ns::runBenchmarks(groups);                                                             \
    }
    CVT_FOR_EACH_BACKEND(CVT_RUN_BENCH)
    return 0;
}
