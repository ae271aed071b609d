// cvt-check: verifies what the programs write.
//   cvt-check [FILE]      an output of cvt (standard input when no file is given): the line count and
//                         format, and that every voxel's site is an exact nearest site among the sites
//                         in the file; prints the number of sites and the CVT energy of the program's
//                         density.
//   cvt-check --labels LABELS --sites SITES [--density DENSITY]
//                         the labels and sites files of cvt-volume: exact nearest sites among the listed
//                         ones, voxel counts (and masses, with the density) as listed; prints the number
//                         of sites and, with the density, the CVT energy as cvt-volume reports it.
// Exits 0 when valid, 1 when not, 2 when the input cannot be read or the command line is wrong.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "device/failure.h"
#include "host/density.h"
#include "labels_file_check.h"
#include "labelling_check.h"
#include "output_parser.h"

namespace {

constexpr int edge = 256;

bool readAll(int fd, std::string& text) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.append(buffer, size_t(got));
    }
}

int checkProgramOutput(const std::optional<std::string>& path) {
    const int fd = path ? open(path->c_str(), O_RDONLY) : STDIN_FILENO;
    std::string text;
    if (fd < 0 || !readAll(fd, text)) {
        std::fprintf(stderr, "cvt-check: cannot read %s: %s\n", path ? path->c_str() : "standard input",
                     std::strerror(errno));
        return 2;
    }
    const cvt::check::ParsedOutput parsed = cvt::check::parseOutput(text, edge);
    if (!parsed.wellFormed) {
        std::printf("format: invalid: %s\n", parsed.problem.c_str());
        return 1;
    }
    std::printf("lines: %zu\n", parsed.labels.size());
    const cvt::check::LabellingVerdict verdict = cvt::check::verifyLabelling(parsed.labels, edge);
    std::printf("sites: %zu\n", verdict.siteCount);
    if (!verdict.exact) {
        std::printf("labelling: wrong: %s\n", verdict.problem.c_str());
        return 1;
    }
    std::printf("labelling: exact\n");
    std::vector<float> density(size_t(edge) * edge * edge);
    cvt::synthesizeDensity(density.data());
    std::printf("energy: %.6f\n", cvt::check::cvtEnergy(parsed.labels, density, edge));
    return 0;
}

int checkLabels(const std::string& labels, const std::string& sites, const std::optional<std::string>& density) {
    cvt::check::LabelsFileVerdict verdict;
    try {
        verdict = cvt::check::checkLabelsFile(labels, sites, density);
    } catch (const cvt::Failure& failure) {
        std::fprintf(stderr, "cvt-check: %s\n", failure.what());
        return 2;
    }
    if (!verdict.valid) {
        std::printf("labels: wrong: %s\n", verdict.problem.c_str());
        return 1;
    }
    std::printf("sites: %zu\nlabels: exact, counts match\n", verdict.siteCount);
    if (verdict.energy) std::printf("energy: %.6f\n", *verdict.energy);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Verifies an output of cvt, or the labels and sites files of cvt-volume.", "cvt-check");
    std::optional<std::string> output, labels, sites, density;
    app.add_option("FILE", output, "An output of cvt (standard input when neither it nor --labels is given)");
    CLI::Option* labelsOption = app.add_option("--labels", labels, "A labels file of cvt-volume (.npy or .nrrd)");
    CLI::Option* sitesOption = app.add_option("--sites", sites, "Its sites file (CSV)");
    CLI::Option* densityOption = app.add_option("--density", density, "The density the labels were computed from");
    labelsOption->needs(sitesOption)->excludes("FILE");
    sitesOption->needs(labelsOption);
    densityOption->needs(labelsOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);
        std::fprintf(stderr, "cvt-check: %s (see cvt-check --help)\n", error.what());
        return 2;
    }
    return labels ? checkLabels(*labels, *sites, density) : checkProgramOutput(output);
}
