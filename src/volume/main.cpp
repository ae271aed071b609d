// cvt-volume: the tessellation of a user's density volume, on the GPU when a usable one is present,
// else on the CPU simulation.
#include "device/backends.h"
#include "options.h"

#define CVT_DECLARE_VOLUME_RUN(ns)                          \
    namespace cvt::ns {                                     \
    int runVolume(const volume::VolumeOptions& options);    \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_VOLUME_RUN)

namespace {
#define CVT_VOLUME_RUN(ns) CVT_BACKEND_ENTRY(ns, runVolume)
const cvt::BackendEntry<int(const cvt::volume::VolumeOptions&)> runs[] = {CVT_FOR_EACH_BACKEND(CVT_VOLUME_RUN)};
}  // namespace

int main(int argc, char** argv) {
    const cvt::volume::ParsedCommandLine parsed = cvt::volume::parseCommandLine(argc, argv);
    if (!parsed.options) return parsed.exitStatus;
    const auto* run = cvt::chooseBackend(runs, "cvt-volume", !parsed.options->quiet);
    return run == nullptr ? 1 : run->run(*parsed.options);
}
