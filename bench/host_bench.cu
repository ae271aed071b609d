// Host work of the entry on the full 256^3 grid: the density synthesis, and the labelling output to
// /dev/null by the hand-made writer and, for comparison, by a plain printf loop over the same lines.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>

#include "bench_support.h"
#include "host/density.h"
#include "host/output.h"

CVT_BEGIN_NAMESPACE
namespace {

// A labelling with the shape of a real one: 10000 sites, each owning runs of voxels along z.
std::unique_ptr<int32_t[]> sampleLabelling() {
    std::unique_ptr<int32_t[]> labels(new int32_t[labellingLines]);
    std::mt19937 random(1);
    std::uniform_int_distribution<int> coordinate(0, 255), site(0, 9999);
    std::vector<int32_t> sites(10000);
    for (int32_t& code : sites) code = (coordinate(random) << 20) | (coordinate(random) << 10) | coordinate(random);
    for (size_t line = 0; line < labellingLines; line += 16) {
        const int32_t code = sites[site(random)];
        for (size_t i = line; i < line + 16; ++i) labels[labelIndexOfLine(i)] = code;
    }
    return labels;
}

void benchHost() {
    const std::unique_ptr<float[]> density(new float[densityVoxels]);
    reportSeconds("synthesis_s", bestSeconds(3, [&] { synthesizeDensity(density.get()); }));

    const std::unique_ptr<int32_t[]> labels = sampleLabelling();
    const int nullFd = open("/dev/null", O_WRONLY);
    if (nullFd < 0) throw Failure("cannot open /dev/null");
    reportSeconds("output_s", bestSeconds(3, [&] { writeLabelling(labels.get(), nullFd); }));
    close(nullFd);

    FILE* nullFile = std::fopen("/dev/null", "w");
    if (nullFile == nullptr) throw Failure("cannot open /dev/null");
    reportSeconds("printf_output_s", bestSeconds(1, [&] {
                      for (int x = 0; x < labellingEdge; ++x)
                          for (int y = 0; y < labellingEdge; ++y)
                              for (int z = 0; z < labellingEdge; ++z) {
                                  const int32_t c = labels[x + 256 * y + 65536 * size_t(z)];
                                  std::fprintf(nullFile, "v %d %d %d\n", (c >> 20) & 1023, (c >> 10) & 1023, c & 1023);
                              }
                      std::fflush(nullFile);
                  }));
    std::fclose(nullFile);
}

CVT_BENCHMARK("05 host", benchHost);

}  // namespace
CVT_END_NAMESPACE
