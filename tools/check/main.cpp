// cvt-check: verifies an output file of cvt and reports what it describes.
//   cvt-check [FILE]   (standard input when no file is given)
// Checks the line count and format, and that every voxel's site is an exact nearest site among the
// sites in the file; prints the number of sites and the CVT energy of the program's density. Exits
// 0 when the output is valid, 1 when it is not, 2 when it cannot be read.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/density.h"
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

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : nullptr;
    const int fd = path != nullptr ? open(path, O_RDONLY) : STDIN_FILENO;
    std::string text;
    if (fd < 0 || !readAll(fd, text)) {
        std::fprintf(stderr, "cvt-check: cannot read %s: %s\n", path != nullptr ? path : "standard input",
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
