// cvt-bench: one "key: value" line per figure, in seconds, for every backend that can run here.
// Figures of the CPU simulation carry their plain names; those of a GPU carry the prefix "gpu_".
#include <cstdio>
#include <optional>
#include <string>

#include "device/backends.h"

#define CVT_DECLARE_BENCH(ns) \
    namespace cvt::ns {       \
    void runBenchmarks();     \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_BENCH)

int main() {
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
