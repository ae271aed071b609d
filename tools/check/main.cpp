// cvt-check: verifies what the programs write.
//   cvt-check [FILE]      an output of cvt (standard input when no file is given): the line count and
//                         format, and that every voxel's site is an exact nearest site among the sites
//                         in the file; prints the number of sites and the CVT energy of the program's
//                         density.
//   cvt-check --labels LABELS --sites SITES [--density DENSITY] [--spacing SX,SY,SZ] [--mask MASK]
//             [--connected] [--adjacency FILE]
//                         the labels and sites files of cvt-volume: exact nearest sites among the listed
//                         ones, voxel counts (and masses, with the density) as listed; prints the number
//                         of sites and, with the density, the CVT energy as cvt-volume reports it;
//                         distances under the spacing given, else the density's or the labels' file's;
//                         with a mask, that the labels are 0 exactly outside it. With --connected, the
//                         files of a run with --connected: every region one 6-connected piece holding
//                         its site (but in a part of the mask no site reaches), every other voxel at its
//                         nearest site or in a piece of the nearest-site labelling cut off from that
//                         site. With --adjacency, that FILE is the labels' adjacency table.
// Exits 0 when valid, 1 when not, 2 when the input cannot be read or the command line is wrong.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/density.h"
#include "labels_command.h"
#include "labelling_check.h"
#include "output_parser.h"

namespace {

constexpr int edge = 256;

constexpr const char* usage =
    "usage: cvt-check [FILE]\n"
    "       cvt-check --labels LABELS --sites SITES [--density DENSITY] [--spacing SX,SY,SZ] [--mask MASK]\n"
    "                 [--connected] [--adjacency FILE]\n";

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

struct CommandLine {
    std::optional<std::string> output, labels, sites, density, spacing, mask, adjacency;
    bool connected = false;
};

// The two forms of the usage above; nothing else.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        std::optional<std::string>* value = word == "--labels"    ? &line.labels
                                            : word == "--sites"   ? &line.sites
                                            : word == "--density" ? &line.density
                                            : word == "--spacing" ? &line.spacing
                                            : word == "--mask"    ? &line.mask
                                            : word == "--adjacency" ? &line.adjacency
                                                                  : nullptr;
        if (word == "--connected") {
            if (line.connected) return std::nullopt;
            line.connected = true;
        } else if (value != nullptr) {
            if (i + 1 == arguments.size() || *value) return std::nullopt;
            *value = arguments[++i];
        } else if (word.empty() || word[0] == '-' || line.output) {
            return std::nullopt;
        } else {
            line.output = word;
        }
    }
    const bool labelsForm =
        line.labels || line.sites || line.density || line.spacing || line.mask || line.adjacency || line.connected;
    if (labelsForm && (!line.labels || !line.sites || line.output)) return std::nullopt;
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::printf("%s", usage);
        return 0;
    }
    const std::optional<CommandLine> line = parseCommandLine(arguments);
    if (!line) {
        std::fprintf(stderr, "cvt-check: wrong arguments\n%s", usage);
        return 2;
    }
    if (line->labels) {
        std::optional<cvt::Spacing> spacing;
        if (line->spacing) {
            spacing = cvt::parseSpacing(*line->spacing);
            const auto problem = spacing ? cvt::spacingProblem(*spacing) : std::optional<std::string>("expected SX,SY,SZ");
            if (problem) {
                std::fprintf(stderr, "cvt-check: --spacing %s: %s\n", line->spacing->c_str(), problem->c_str());
                return 2;
            }
        }
        return cvt::check::runLabelsCheck(*line->labels, *line->sites, line->density, spacing, line->mask,
                                          cvt::check::RegionChecks{line->connected, line->adjacency});
    }
    return checkProgramOutput(line->output);
}
