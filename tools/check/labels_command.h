// cvt-check's check of cvt-volume's files, as the command runs it: prints its findings and returns
// the exit status (0 valid, 1 not, 2 unreadable). Built without the formats library, it says so.
#pragma once

#include <optional>
#include <string>

#include "host/axis_spacing.h"
#include "labels_file_check.h"

namespace cvt::check {

int runLabelsCheck(const std::string& labels, const std::string& sites, const std::optional<std::string>& density,
                   const std::optional<Spacing>& spacing, const std::optional<std::string>& mask,
                   const RegionChecks& regions);

}  // namespace cvt::check
