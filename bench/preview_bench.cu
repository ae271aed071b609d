// The preview picture of a run-sized result: the program's 256^3 density labelled by the 10164 sites
// of a 22 x 22 x 21 lattice, rendered and written as PNG. Host work only; the labelling is built
// per axis (see lattice_labelling.h), untimed.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../tests/lattice_labelling.h"
#include "bench_support.h"
#include "host/density.h"
#include "volume/preview.h"

CVT_BEGIN_NAMESPACE
namespace {

// The lattice's sites by id (x fastest), and every voxel's site id.
struct LatticeScene {
    std::vector<std::array<int, 3>> sites;
    std::vector<uint32_t> labels;
};

LatticeScene latticeScene(const Lattice& lattice, int edge) {
    LatticeScene scene;
    for (const Site& s : latticeSites(lattice)) scene.sites.push_back({s.x, s.y, s.z});
    // A site code's coordinates become its indices on the three axes, and those its id.
    std::array<std::vector<uint32_t>, 3> indexOf;
    for (int a = 0; a < 3; ++a) {
        indexOf[a].assign(edge, 0);
        for (size_t i = 0; i < lattice.axes[a].size(); ++i) indexOf[a][lattice.axes[a][i]] = uint32_t(i);
    }
    const uint32_t countX = uint32_t(lattice.axes[0].size()), countY = uint32_t(lattice.axes[1].size());
    for (const SiteCode code : latticeLabelling(lattice, edge))
        scene.labels.push_back(indexOf[0][siteX(code)] +
                               countX * (indexOf[1][siteY(code)] + countY * indexOf[2][siteZ(code)]));
    return scene;
}

void benchPreview() {
    const int edge = densityEdge;
    std::vector<float> density(densityVoxels);
    synthesizeDensity(density.data());
    const LatticeScene lattice = latticeScene(evenLattice(edge, {22, 22, 21}), edge);
    const GridBox box{edge, edge, edge};
    const volume::PreviewScene scene{box,           density.data(),         lattice.labels.data(),
                                     &lattice.sites, volume::boxCentre(box), "energy 11747.20   10164 sites"};
    const std::string path = "/tmp/cvt-bench-preview-" + std::to_string(getpid()) + ".png";
    reportSeconds("preview_256_s", bestSeconds(3, [&] { volume::writePreview(path, scene); }));
    std::remove(path.c_str());
}

CVT_BENCHMARK("07 preview", benchPreview);

}  // namespace
CVT_END_NAMESPACE
