#include "labels_command.h"

#include <cstdio>

#include "device/failure.h"
#include "labels_file_check.h"

namespace cvt::check {

int runLabelsCheck(const std::string& labels, const std::string& sites, const std::optional<std::string>& density,
                   const std::optional<Spacing>& spacing, const std::optional<std::string>& mask,
                   const RegionChecks& regions) {
    LabelsFileVerdict verdict;
    try {
        verdict = checkLabelsFile(labels, sites, density, spacing, mask, regions);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "cvt-check: %s\n", failure.what());
        return 2;
    }
    if (!verdict.valid) {
        std::printf("labels: wrong: %s\n", verdict.problem.c_str());
        return 1;
    }
    if (verdict.spacing != Spacing{1, 1, 1}) std::printf("spacing: %s\n", describeSpacing(verdict.spacing).c_str());
    std::printf("sites: %zu\n", verdict.siteCount);
    if (regions.connected)
        std::printf("labels: connected, %llu voxels away from their nearest site, counts match\n",
                    static_cast<unsigned long long>(verdict.awayFromNearest));
    else
        std::printf("labels: exact, counts match\n");
    if (verdict.adjacentPairs) std::printf("adjacency: matches, %zu pairs\n", *verdict.adjacentPairs);
    if (verdict.energy) std::printf("energy: %.6f\n", *verdict.energy);
    return 0;
}

}  // namespace cvt::check
