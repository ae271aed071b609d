// cvt-volume's command line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/volume_file.h"
#include "host/axis_spacing.h"
#include "tessellation/tessellation_request.h"

namespace cvt::volume {

struct VolumeOptions {
    std::optional<std::string> densityPath;  // none: the built-in synthetic density
    formats::ReadOptions read;               // --format, --raw-shape, --raw-type
    int sites = 10000;
    int maxIterations = 10000;
    int levels = 1;
    uint64_t seed = 0;
    std::optional<Seeding> seeding;  // none: uniform for the built-in density, density for a file
    std::optional<std::string> sitesIn;
    bool sitesGiven = false;  // --sites was on the command line
    uint32_t startLabel = 1;  // --start-label
    std::optional<Spacing> spacing;  // --spacing: overrides the file's

    formats::DensityMapping mapping;        // --window, --clip-below
    std::optional<std::string> maskPath;    // --mask: non-zero voxels are inside
    std::optional<double> maskAbove;        // --mask-above: inside where the mapped density is above it
    bool connected = false;                 // --connected: every region one piece that holds its site

    std::optional<std::string> labelsPath, sitesOutPath, textPath, summaryPath, previewPath, adjacencyPath;
    std::optional<std::array<int, 3>> previewAt;
    bool quiet = false;
    bool dryRun = false;  // --dry-run: say what the run would take, and run nothing
    bool deterministic = true;

    Seeding effectiveSeeding() const {
        return seeding.value_or(densityPath ? Seeding::density : Seeding::uniform);
    }
    bool masked() const { return maskPath || maskAbove; }
    // Every output path, for the checks made before the run.
    std::vector<std::string> outputPaths() const;
};

// What parsing decided: run with the options, or exit at once with the status (after --help,
// --version, or a usage error, whose one-line message and hint have been printed).
struct ParsedCommandLine {
    std::optional<VolumeOptions> options;
    int exitStatus = 0;
};

// Prints help, the version and usage errors only when `speaks` (one rank of several speaks for all).
ParsedCommandLine parseCommandLine(int argc, const char* const* argv, bool speaks = true);

}  // namespace cvt::volume
