// Obviously-correct host references for tests: brute-force nearest-site labelling. Plain host code,
// shared by the kernel tests of both backends and the host-only tests.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <set>
#include <tuple>
#include <vector>

#include "host/grid_shape.h"

namespace cvt {

namespace reference {
constexpr int32_t emptySite = INT32_MIN;
inline int32_t encode(int x, int y, int z) { return (x << 20) | (y << 10) | z; }
}  // namespace reference

struct Site {
    int x, y, z;
};

// Site volume of grid g (an int: a cube): "no site" (the most negative Code) everywhere except each
// site's own voxel, which holds its code in the grid's layout. Code: the grid's code type, int32_t or
// (for a wide layout) int64_t.
template <class Code = int32_t>
std::vector<Code> siteVolume(const std::vector<Site>& sites, const GridShape& g) {
    std::vector<Code> volume(size_t(g.voxels()), std::numeric_limits<Code>::min());
    for (const Site& s : sites) volume[size_t(g.index(s.x, s.y, s.z))] = g.codes.encode<Code>(s.x, s.y, s.z);
    return volume;
}

// Distinct sites, in the order first given.
inline std::vector<Site> distinct(const std::vector<Site>& sites) {
    std::set<std::tuple<int, int, int>> seen;
    std::vector<Site> unique;
    for (const Site& s : sites)
        if (seen.insert({s.x, s.y, s.z}).second) unique.push_back(s);
    return unique;
}

// True when site a is preferred to site b for a voxel at equal distance: smaller x, then smaller y,
// then larger z.
inline bool preferredOnTie(const Site& a, const Site& b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z > b.z;
}

// Every voxel against every site: the code of the nearest site by the squared Euclidean distance with
// the squared offset along each axis multiplied by that axis's weight (x, y, z), with the tie rule
// above; "no site" everywhere when there is no site. Codes of type Code, as siteVolume's.
template <class Code = int32_t>
std::vector<Code> bruteForceLabelling(const std::vector<Site>& sites, const GridShape& g,
                                      const std::array<int64_t, 3>& weights = {1, 1, 1}) {
    std::vector<Code> labels(size_t(g.voxels()), std::numeric_limits<Code>::min());
    for (int z = 0; z < g.z; ++z)
        for (int y = 0; y < g.y; ++y)
            for (int x = 0; x < g.x; ++x) {
                const Site* best = nullptr;
                int64_t bestDistance = INT64_MAX;
                for (const Site& s : sites) {
                    const int64_t dx = x - s.x, dy = y - s.y, dz = z - s.z;
                    const int64_t d = weights[0] * dx * dx + weights[1] * dy * dy + weights[2] * dz * dz;
                    if (d < bestDistance || (d == bestDistance && preferredOnTie(s, *best))) {
                        best = &s;
                        bestDistance = d;
                    }
                }
                if (best != nullptr) labels[size_t(g.index(x, y, z))] = g.codes.encode<Code>(best->x, best->y, best->z);
            }
    return labels;
}

}  // namespace cvt
