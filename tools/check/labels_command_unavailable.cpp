// The check of cvt-volume's files in a build without the formats library (and without cvt-volume).
#include <cstdio>

#include "labels_command.h"

namespace cvt::check {

int runLabelsCheck(const std::string&, const std::string&, const std::optional<std::string>&,
                   const std::optional<Spacing>&, const std::optional<std::string>&, const RegionChecks&) {
    std::fprintf(stderr, "cvt-check: this build cannot read labels files: it was built without cvt-volume's "
                         "libraries (zlib, libtiff, libpng, CLI11, nlohmann-json)\n");
    return 2;
}

}  // namespace cvt::check
