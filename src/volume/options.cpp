#include "options.h"

#include <cstdio>
#include <sstream>

#include <CLI/CLI.hpp>

#include "cvt_version.h"

namespace cvt::volume {
namespace {

constexpr const char* program = "cvt-volume";

constexpr const char* examples = R"EXAMPLES(Examples:
  Make a volume with NumPy, tessellate it with 2000 sites, and load the labels back:
    python3 -c "import numpy as np; z, y, x = np.mgrid[0:40, 0:60, 0:100]; \
np.save('blob.npy', np.exp(-((x - 50)**2 + (y - 30)**2 + (z - 20)**2) / 400).astype(np.float32))"
    cvt-volume blob.npy --sites 2000 --labels labels.npy --sites-out sites.csv --preview blob.png
    python3 -c "import numpy as np; print(np.load('labels.npy').shape)"   # (40, 60, 100)

  The program's own run (the built-in 256^3 density, 10000 sites) as text, with a run summary:
    cvt-volume --text - --summary run.json > cvt-output.txt
)EXAMPLES";

// "X,Y,Z" as three integers.
std::array<int, 3> parseTriple(const std::string& text, const char* what) {
    std::array<int, 3> values{};
    char comma1 = 0, comma2 = 0, rest = 0;
    std::istringstream in(text);
    if (!(in >> values[0] >> comma1 >> values[1] >> comma2 >> values[2]) || comma1 != ',' || comma2 != ',' ||
        (in >> rest))
        throw CLI::ValidationError(what, "expected X,Y,Z, got '" + text + "'");
    return values;
}

// "SX,SY,SZ" as a usable spacing.
Spacing parsedSpacing(const std::string& text) {
    const std::optional<Spacing> spacing = parseSpacing(text);
    if (!spacing) throw CLI::ValidationError("--spacing", "expected SX,SY,SZ, got '" + text + "'");
    if (const auto problem = spacingProblem(*spacing)) throw CLI::ValidationError("--spacing", *problem);
    return *spacing;
}

void describeOptions(CLI::App& app, VolumeOptions& options, std::string& format, std::string& rawShape,
                     std::string& rawType, std::string& seeding, std::string& previewAt, std::string& spacing) {
    app.add_option("DENSITY", options.densityPath,
                   "Density volume: .npy, .nrrd/.nhdr, .tif/.tiff, or raw data with --raw-shape and --raw-type. "
                   "Without it, the built-in synthetic 256^3 density.")
        ->check(CLI::ExistingFile);
    app.add_option("--format", format, "Read DENSITY as this format, whatever its extension")
        ->check(CLI::IsMember({"npy", "nrrd", "tiff", "raw"}));
    app.add_option("--raw-shape", rawShape, "X,Y,Z of raw little-endian data, x fastest");
    app.add_option("--spacing", spacing,
                   "SX,SY,SZ: the voxel spacing, x first, which distances are measured with (default: the file's, "
                   "else 1,1,1)");
    app.add_option("--raw-type", rawType, "Sample type of raw data")
        ->check(CLI::IsMember({"uint8", "uint16", "int16", "int32", "float32", "float64"}));

    CLI::Option* sites = app.add_option("--sites", options.sites, "Number of sites (default 10000)")
                             ->check(CLI::Range(1, 1 << 30));
    app.add_option("--max-iterations", options.maxIterations,
                   "Iteration budget over all levels (default 10000; 0 labels the initial sites only)")
        ->check(CLI::Range(0, 1 << 30));
    app.add_option("--levels", options.levels,
                   "Pyramid levels to use, coarsest first (default 1: the whole run on the full grid)")
        ->check(CLI::Range(1, 10));
    app.add_option("--seed", options.seed, "Start of the seeding generator (default 0, the program's fixed start)");
    CLI::Option* seedingOption =
        app.add_option("--seeding", seeding,
                       "uniform: the generator's draws inside the box; density: distinct voxels drawn in proportion "
                       "to the density (default: uniform for the built-in density, density for a file)")
            ->check(CLI::IsMember({"uniform", "density"}));
    CLI::Option* sitesIn = app.add_option("--sites-in", options.sitesIn,
                                          "Start from the sites in this CSV of voxel coordinates (x,y,z per line)")
                               ->check(CLI::ExistingFile);
    sitesIn->excludes(sites)->excludes(seedingOption);

    app.add_option("--labels", options.labelsPath,
                   "Write the site id of every voxel (.npy or .nrrd; uint16 below 65536 sites, else uint32)");
    app.add_option("--sites-out", options.sitesOutPath, "Write the final sites: CSV id,x,y,z,mass,voxels");
    app.add_option("--text", options.textPath,
                   "Write one line 'v X Y Z' per voxel, x outermost, z innermost (- for standard output)");
    app.add_option("--summary", options.summaryPath, "Write a JSON summary of the run");
    CLI::Option* preview = app.add_option("--preview", options.previewPath,
                                          "Write a PNG of three orthogonal slices with the region borders");
    app.add_option("--preview-at", previewAt, "X,Y,Z the preview slices go through (default: the box's middle)")
        ->needs(preview);
    app.add_flag("--quiet,-q", options.quiet, "Print errors only");
    CLI::Option* deterministic =
        app.add_flag("--deterministic", options.deterministic,
                     "Sum in 64-bit fixed point: the same result on every run (the default)");
    app.add_flag_function("--fast-atomics", [&options](int64_t) { options.deterministic = false; },
                 "Sum with float atomics, as cvt does: faster, but the last bits vary from run to run")
        ->excludes(deterministic);
    app.set_version_flag("--version", std::string(program) + " " + CVT_VERSION);
    app.footer(examples);
}

VolumeOptions finish(VolumeOptions options, const CLI::App& app, const std::string& format,
                     const std::string& rawShape, const std::string& rawType, const std::string& seeding,
                     const std::string& previewAt, const std::string& spacing) {
    options.sitesGiven = app.count("--sites") > 0;
    if (!format.empty()) options.read.format = formats::formatNamed(format);
    if (!rawShape.empty()) {
        const std::array<int, 3> shape = parseTriple(rawShape, "--raw-shape");
        options.read.rawShape = formats::VolumeShape{shape[0], shape[1], shape[2]};
    }
    if (!rawType.empty()) options.read.rawType = formats::sampleTypeNamed(rawType);
    if (!seeding.empty()) options.seeding = seeding == "density" ? Seeding::density : Seeding::uniform;
    if (!previewAt.empty()) options.previewAt = parseTriple(previewAt, "--preview-at");
    if (!spacing.empty()) options.spacing = parsedSpacing(spacing);

    if (!options.densityPath && (options.read.format || options.read.rawShape || options.read.rawType))
        throw CLI::ValidationError("--format, --raw-shape and --raw-type describe a DENSITY file, and none is given");
    const bool raw = options.read.format == formats::FileFormat::raw ||
                     (!options.read.format && options.densityPath &&
                      formats::formatOfPath(*options.densityPath) == formats::FileFormat::raw);
    if (raw && !(options.read.rawShape && options.read.rawType))
        throw CLI::ValidationError("raw data needs --raw-shape X,Y,Z and --raw-type TYPE");
    if (options.labelsPath) {
        const std::optional<formats::FileFormat> labels = formats::formatOfPath(*options.labelsPath);
        if (labels != formats::FileFormat::npy && labels != formats::FileFormat::nrrd)
            throw CLI::ValidationError("--labels", "the labels file must end in .npy or .nrrd");
    }
    return options;
}

}  // namespace

std::vector<std::string> VolumeOptions::outputPaths() const {
    std::vector<std::string> paths;
    for (const std::optional<std::string>& path : {labelsPath, sitesOutPath, textPath, summaryPath, previewPath})
        if (path && *path != "-") paths.push_back(*path);
    return paths;
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv) {
    CLI::App app("Centroidal Voronoi tessellation of a density volume: an over-relaxed Lloyd iteration with exact "
                 "nearest-site labelling, on the GPU when one is present, else on the CPU.",
                 program);
    VolumeOptions options;
    std::string format, rawShape, rawType, seeding, previewAt, spacing;
    describeOptions(app, options, format, rawShape, rawType, seeding, previewAt, spacing);
    try {
        app.parse(argc, argv);
        return ParsedCommandLine{finish(options, app, format, rawShape, rawType, seeding, previewAt, spacing), 0};
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return ParsedCommandLine{std::nullopt, 0};
    } catch (const CLI::CallForVersion&) {
        std::printf("%s %s\n", program, CVT_VERSION);
        return ParsedCommandLine{std::nullopt, 0};
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", program, error.what(), program);
        return ParsedCommandLine{std::nullopt, 2};
    }
}

}  // namespace cvt::volume
