// The scene of the whole-run tests: a smooth bump off the box's centre over a floor, with or without a
// ring-shaped mask (an inside that is not convex and has a gap), and the request of a run on it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "driver/cvt_driver.h"

CVT_BEGIN_NAMESPACE

// A ring around the line x = y = 32, cut open on the side of larger x, between planes 8 and 56.
inline bool insideRing(int x, int y, int z) {
    const int dx = x - 32, dy = y - 32, r2 = dx * dx + dy * dy;
    return r2 >= 12 * 12 && r2 <= 26 * 26 && !(dx > 0 && std::abs(dy) < 5) && z >= 8 && z < 56;
}

// A run's scene: the grid, the box that holds the density, and how the sites start.
struct BlobScene {
    const char* what;
    GridShape grid;
    GridBox box;
    int sites, levels;
    Spacing spacing;
    bool masked;
    std::vector<std::array<int, 3>> given;  // placement by density when empty
    bool connected = false;
};

struct BlobVolumes {
    std::vector<float> density;  // zero outside the mask
    std::vector<uint8_t> inside;  // the box's flags, x fastest; empty without a mask
};

inline BlobVolumes blobVolumes(const GridBox& box, bool masked) {
    BlobVolumes volumes{std::vector<float>(size_t(box.x) * box.y * box.z), {}};
    if (masked) volumes.inside.assign(volumes.density.size(), 0);
    for (int z = 0; z < box.z; ++z)
        for (int y = 0; y < box.y; ++y)
            for (int x = 0; x < box.x; ++x) {
                const double u = (x - 0.4 * box.x) / box.x, v = (y - 0.6 * box.y) / box.y,
                             w = (z - 0.5 * box.z) / box.z;
                const size_t i = size_t(box.x) * (y + size_t(box.y) * z) + size_t(x);
                volumes.density[i] = float(5.0 + 40.0 * std::exp(-6.0 * (u * u + v * v + w * w)));
                if (!masked) continue;
                volumes.inside[i] = insideRing(x, y, z);
                if (!volumes.inside[i]) volumes.density[i] = 0.0f;
            }
    return volumes;
}

// A run of the scene on its volumes into `result`: its sites placed by density from `seed`, or the
// given ones.
inline CvtRequest blobRequest(const BlobScene& scene, const BlobVolumes& volumes, void* result, uint64_t seed) {
    CvtRequest request;
    request.density = volumes.density.data();
    request.densityDivisor = *std::max_element(volumes.density.begin(), volumes.density.end());
    request.result = result;
    request.siteCount = scene.sites;
    request.maxLevels = scene.levels;
    request.box = scene.box;
    request.inside = volumes.inside.empty() ? nullptr : volumes.inside.data();
    request.spacing = scene.spacing;
    request.connected = scene.connected;
    request.placement.kind = scene.given.empty() ? SitePlacement::Kind::density : SitePlacement::Kind::given;
    request.placement.seed = seed;
    request.placement.sites = scene.given;
    return request;
}

CVT_END_NAMESPACE
