// cvt-volume: the tessellation of a user's density volume, on the GPU when a usable one is present,
// else on the CPU simulation; under an MPI launcher, split into slabs across its ranks.
#include <cstdio>
#include <optional>

#include "device/backends.h"
#include "device/failure.h"
#include "options.h"
#include "ranks/process_ranks.h"

#define CVT_DECLARE_VOLUME_RUN(ns)                                               \
    namespace cvt::ns {                                                          \
    int runVolume(const volume::VolumeOptions& options, RankGroup* ranks);       \
    }
CVT_FOR_EACH_BACKEND(CVT_DECLARE_VOLUME_RUN)

namespace {
#define CVT_VOLUME_RUN(ns) CVT_BACKEND_ENTRY(ns, runVolume)
const cvt::BackendEntry<int(const cvt::volume::VolumeOptions&, cvt::RankGroup*)> runs[] = {
    CVT_FOR_EACH_BACKEND(CVT_VOLUME_RUN)};
}  // namespace

int main(int argc, char** argv) {
    std::optional<cvt::ProcessRanks> ranks;
    try {
        ranks.emplace(argc, argv);
    } catch (const cvt::Failure& failure) {
        std::fprintf(stderr, "cvt-volume: %s\n", failure.what());
        return 1;
    }
    const cvt::volume::ParsedCommandLine parsed = cvt::volume::parseCommandLine(argc, argv, ranks->leads());
    if (!parsed.options) return parsed.exitStatus;
    const auto* run = cvt::chooseBackend(runs, "cvt-volume", ranks->leads() && !parsed.options->quiet);
    return run == nullptr ? 1 : run->run(*parsed.options, ranks->group());
}
