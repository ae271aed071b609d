#include "options.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
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

  A CT scan in Hounsfield units, soft tissue only, regions of the body alone, labels over the scan:
    cvt-volume ct.nii.gz --window -100,300 --mask-above 0 --sites 5000 --labels ct-labels.nii.gz

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

// "LO,HI" as two finite numbers.
std::array<double, 2> parseWindow(const std::string& text) {
    std::array<double, 2> window{};
    char comma = 0, rest = 0;
    std::istringstream in(text);
    if (!(in >> window[0] >> comma >> window[1]) || comma != ',' || (in >> rest) || !std::isfinite(window[0]) ||
        !std::isfinite(window[1]))
        throw CLI::ValidationError("--window", "expected LO,HI, two numbers, got '" + text + "'");
    if (!(window[0] < window[1]))
        throw CLI::ValidationError("--window", "LO must lie below HI, got '" + text + "'");
    return window;
}

// Whether two paths name one file: by identity where both exist (through links, `..`, hard links),
// else by their normalised absolute form.
bool sameFile(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
    const fs::path first = fs::weakly_canonical(fs::absolute(a), error);
    const fs::path second = fs::weakly_canonical(fs::absolute(b), error);
    return first == second;
}

struct NamedPath {
    const char* option;
    const std::optional<std::string>* path;
};

// No output may overwrite an input or another output: a run that did would destroy the user's data or
// keep only one of two results, and still exit 0.
void requireDistinctFiles(const VolumeOptions& options) {
    const NamedPath inputs[] = {{"DENSITY", &options.densityPath}, {"--mask", &options.maskPath},
                                {"--sites-in", &options.sitesIn}};
    const NamedPath outputs[] = {{"--labels", &options.labelsPath}, {"--sites-out", &options.sitesOutPath},
                                 {"--text", &options.textPath},     {"--summary", &options.summaryPath},
                                 {"--preview", &options.previewPath}, {"--adjacency", &options.adjacencyPath}};
    const auto given = [](const NamedPath& named) { return named.path->has_value() && **named.path != "-"; };
    for (size_t i = 0; i < std::size(outputs); ++i) {
        if (!given(outputs[i])) continue;
        const std::string& output = **outputs[i].path;
        for (const NamedPath& input : inputs)
            if (given(input) && sameFile(output, **input.path))
                throw CLI::ValidationError(std::string(outputs[i].option) + " " + output + " would overwrite the input " +
                                           input.option + " " + **input.path);
        for (size_t j = 0; j < i; ++j)
            if (given(outputs[j]) && sameFile(output, **outputs[j].path))
                throw CLI::ValidationError(std::string(outputs[i].option) + " " + output + " names the same file as " +
                                           outputs[j].option + " " + **outputs[j].path);
    }
}

// The options given as text, parsed once the command line has been read.
struct OptionTexts {
    std::string format, rawShape, rawType, seeding, previewAt, window, spacing;
};

// "SX,SY,SZ" as a usable spacing.
Spacing parsedSpacing(const std::string& text) {
    const std::optional<Spacing> spacing = parseSpacing(text);
    if (!spacing) throw CLI::ValidationError("--spacing", "expected SX,SY,SZ, got '" + text + "'");
    if (const auto problem = spacingProblem(*spacing)) throw CLI::ValidationError("--spacing", *problem);
    return *spacing;
}

void describeOptions(CLI::App& app, VolumeOptions& options, OptionTexts& texts) {
    app.add_option("DENSITY", options.densityPath,
                   "Density volume: .npy, .nrrd/.nhdr, .nii/.nii.gz, .tif/.tiff, or raw data with --raw-shape and "
                   "--raw-type; a 2-D file is an image, tessellated as one plane. Without it, the built-in synthetic "
                   "256^3 density.")
        ->check(CLI::ExistingFile);
    app.add_option("--format", texts.format, "Read DENSITY as this format, whatever its extension")
        ->check(CLI::IsMember({"npy", "nrrd", "nifti", "tiff", "raw"}));
    app.add_option("--raw-shape", texts.rawShape, "X,Y,Z of raw little-endian data, x fastest");
    app.add_option("--spacing", texts.spacing,
                   "SX,SY,SZ: the voxel spacing, x first, which distances are measured with (default: the file's, "
                   "else 1,1,1; an image's SZ is not used)");
    app.add_option("--raw-type", texts.rawType, "Sample type of raw data")
        ->check(CLI::IsMember({"uint8", "int8", "uint16", "int16", "int32", "uint32", "float32", "float64"}));
    CLI::Option* windowOption =
        app.add_option("--window", texts.window,
                       "LO,HI: clip every value to [LO, HI] and shift it so that LO becomes 0 (CT soft tissue: "
                       "--window -100,300)");
    app.add_option("--clip-below", options.mapping.clipBelow, "Set values below V to 0 and keep the rest")
        ->excludes(windowOption);
    app.add_option("--mask", options.maskPath,
                   "Tessellate only inside this volume's non-zero voxels (any input format, DENSITY's shape): "
                   "labels are 0 outside, sites are numbered from 1")
        ->check(CLI::ExistingFile);
    app.add_option("--mask-above", options.maskAbove,
                   "Tessellate only where the (mapped) density is above T; with --mask, inside both");
    app.add_flag("--connected", options.connected,
                 "Make every region one 6-connected piece that holds its site: after each labelling, a piece of a "
                 "region without the region's site goes to the neighbouring region it shares the most faces with");

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
        app.add_option("--seeding", texts.seeding,
                       "uniform: the generator's draws inside the box; density: distinct voxels drawn in proportion "
                       "to the density (default: uniform for the built-in density, density for a file)")
            ->check(CLI::IsMember({"uniform", "density"}));
    app.add_option("--start-label", options.startLabel,
                   "The label of the first region: 1 (the default; 0 is never a region), or 0. A masked run's "
                   "is 1: label 0 is the outside")
        ->check(CLI::Range(0, 1));
    CLI::Option* sitesIn = app.add_option("--sites-in", options.sitesIn,
                                          "Start from the sites in this CSV of voxel coordinates (x,y,z per line); "
                                          "region i is then the site of row i, sites that merge keeping the first")
                               ->check(CLI::ExistingFile);
    sitesIn->excludes(sites)->excludes(seedingOption);

    app.add_option("--labels", options.labelsPath,
                   "Write the site id of every voxel (.npy, .nrrd, .nii or .nii.gz, with the input's geometry; uint16 "
                   "below 65536 sites, else uint32)");
    app.add_option("--sites-out", options.sitesOutPath, "Write the final sites: CSV id,x,y,z,mass,voxels,pieces,cx,cy,cz");
    app.add_option("--text", options.textPath,
                   "Write one line 'v X Y Z' per voxel, x outermost, z innermost (- for standard output)");
    app.add_option("--summary", options.summaryPath, "Write a JSON summary of the run");
    app.add_option("--adjacency", options.adjacencyPath,
                   "Write which regions touch: CSV a,b,faces,area, one row per pair of labels that share a voxel face "
                   "(area in the spacing's units; label 0 is the outside of a mask)");
    CLI::Option* preview = app.add_option("--preview", options.previewPath,
                                          "Write a PNG of three orthogonal slices with the region borders");
    app.add_option("--preview-at", texts.previewAt, "X,Y,Z the preview slices go through (default: the box's middle)")
        ->needs(preview);
    app.add_flag("--quiet,-q", options.quiet, "Print errors only");
    app.add_flag("--dry-run", options.dryRun,
                 "Read and check the input, print the grid and the device and host memory the run needs, and stop");
    CLI::Option* deterministic =
        app.add_flag("--deterministic", options.deterministic,
                     "Sum every region exactly, in integers, and finish at a fixed point: the same result on every run "
                     "(the default)");
    app.add_flag_function("--fast-atomics", [&options](int64_t) { options.deterministic = false; },
                 "Run cvt's own centroid step, with float atomics: the last bits vary from run to run, and the run "
                 "stops on cvt's energy criterion, not at a fixed point (one process only)")
        ->excludes(deterministic);
    app.set_version_flag("--version", std::string(program) + " " + CVT_VERSION);
    app.footer(examples);
}

VolumeOptions finish(VolumeOptions options, const CLI::App& app, const OptionTexts& texts) {
    options.sitesGiven = app.count("--sites") > 0;
    if (!texts.format.empty()) options.read.format = formats::formatNamed(texts.format);
    if (!texts.rawShape.empty()) {
        const std::array<int, 3> shape = parseTriple(texts.rawShape, "--raw-shape");
        options.read.rawShape = formats::VolumeShape{shape[0], shape[1], shape[2]};
    }
    if (!texts.rawType.empty()) options.read.rawType = formats::sampleTypeNamed(texts.rawType);
    if (!texts.seeding.empty()) options.seeding = texts.seeding == "density" ? Seeding::density : Seeding::uniform;
    if (!texts.previewAt.empty()) options.previewAt = parseTriple(texts.previewAt, "--preview-at");
    if (!texts.window.empty()) options.mapping.window = parseWindow(texts.window);
    if (options.mapping.clipBelow && !std::isfinite(*options.mapping.clipBelow))
        throw CLI::ValidationError("--clip-below", "expected a finite number");
    if (options.maskAbove && !std::isfinite(*options.maskAbove))
        throw CLI::ValidationError("--mask-above", "expected a finite number");
    options.mapping.negativeHint = "map negative values with --window LO,HI or --clip-below V";
    if (!texts.spacing.empty()) options.spacing = parsedSpacing(texts.spacing);

    if (!options.densityPath && (options.read.format || options.read.rawShape || options.read.rawType))
        throw CLI::ValidationError("--format, --raw-shape and --raw-type describe a DENSITY file, and none is given");
    const bool raw = options.read.format == formats::FileFormat::raw ||
                     (!options.read.format && options.densityPath &&
                      formats::formatOfPath(*options.densityPath) == formats::FileFormat::raw);
    if (raw && !(options.read.rawShape && options.read.rawType))
        throw CLI::ValidationError("raw data needs --raw-shape X,Y,Z and --raw-type TYPE");
    if (options.labelsPath) {
        const std::optional<formats::FileFormat> labels = formats::formatOfPath(*options.labelsPath);
        if (labels != formats::FileFormat::npy && labels != formats::FileFormat::nrrd &&
            labels != formats::FileFormat::nifti)
            throw CLI::ValidationError("--labels", "the labels file must end in .npy, .nrrd, .nii or .nii.gz");
    }
    requireDistinctFiles(options);
    return options;
}

}  // namespace

std::vector<std::string> VolumeOptions::outputPaths() const {
    std::vector<std::string> paths;
    for (const std::optional<std::string>& path :
         {labelsPath, sitesOutPath, textPath, summaryPath, previewPath, adjacencyPath})
        if (path && *path != "-") paths.push_back(*path);
    return paths;
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv, bool speaks) {
    CLI::App app("Centroidal Voronoi tessellation of a density volume: an over-relaxed Lloyd iteration with exact "
                 "nearest-site labelling, on the GPU when one is present, else on the CPU. Under mpirun, split into "
                 "slabs of z planes across the ranks, with the results of one process.",
                 program);
    VolumeOptions options;
    OptionTexts texts;
    describeOptions(app, options, texts);
    try {
        app.parse(argc, argv);
        return ParsedCommandLine{finish(options, app, texts), 0};
    } catch (const CLI::CallForHelp&) {
        if (speaks) std::printf("%s", app.help().c_str());
        return ParsedCommandLine{std::nullopt, 0};
    } catch (const CLI::CallForVersion&) {
        if (speaks) std::printf("%s %s\n", program, CVT_VERSION);
        return ParsedCommandLine{std::nullopt, 0};
    } catch (const CLI::ParseError& error) {
        if (speaks) std::fprintf(stderr, "%s: %s (see %s --help)\n", program, error.what(), program);
        return ParsedCommandLine{std::nullopt, 2};
    }
}

}  // namespace cvt::volume
