// Exact labellings of sites on a lattice, built per axis without a search over all sites: the squared
// distance separates into the three axes, so a voxel's nearest lattice site is the nearest lattice
// coordinate on each axis, and the tie rule (smaller x, smaller y, larger z) separates too. Every
// region is a box, so no two sites that label a row share an x and every site labels its row anchors.
#pragma once

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include "host/site_code.h"
#include "reference_labelling.h"

CVT_BEGIN_NAMESPACE

// The site coordinates used on each axis, ascending and distinct; the sites are all their combinations.
struct Lattice {
    std::array<std::vector<int>, 3> axes;
};

// `counts[a]` coordinates on axis a, centred in equal cells of the edge.
inline Lattice evenLattice(int n, std::array<int, 3> counts) {
    Lattice lattice;
    for (int a = 0; a < 3; ++a)
        for (int i = 0; i < counts[a]; ++i) lattice.axes[a].push_back(int((2 * int64_t(i) + 1) * n / (2 * counts[a])));
    return lattice;
}

// `counts[a]` distinct coordinates drawn at random on axis a.
inline Lattice randomLattice(int n, std::array<int, 3> counts, std::mt19937& random) {
    Lattice lattice;
    for (int a = 0; a < 3; ++a) {
        std::vector<int> all(n);
        for (int v = 0; v < n; ++v) all[v] = v;
        std::shuffle(all.begin(), all.end(), random);
        all.resize(counts[a]);
        std::sort(all.begin(), all.end());
        lattice.axes[a] = all;
    }
    return lattice;
}

inline std::vector<Site> latticeSites(const Lattice& lattice) {
    std::vector<Site> sites;
    for (int z : lattice.axes[2])
        for (int y : lattice.axes[1])
            for (int x : lattice.axes[0]) sites.push_back({x, y, z});
    return sites;
}

// For every coordinate v of the edge, the nearest coordinate of one axis; on a tie the smaller one, or
// the larger one where `preferLarger` (the z axis).
inline std::vector<int> nearestOnAxis(const std::vector<int>& axis, int n, bool preferLarger) {
    std::vector<int> nearest(n);
    for (int v = 0; v < n; ++v) {
        int best = axis.front();
        for (int c : axis) {
            const int d = std::abs(v - c), bestD = std::abs(v - best);
            if (d < bestD || (d == bestD && preferLarger && c > best)) best = c;
        }
        nearest[v] = best;
    }
    return nearest;
}

inline std::vector<int> latticeLabelling(const Lattice& lattice, int n) {
    const std::vector<int> nx = nearestOnAxis(lattice.axes[0], n, false);
    const std::vector<int> ny = nearestOnAxis(lattice.axes[1], n, false);
    const std::vector<int> nz = nearestOnAxis(lattice.axes[2], n, true);
    std::vector<int> labels(size_t(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) labels[(size_t(z) * n + y) * n + x] = encodeSite(nx[x], ny[y], nz[z]);
    return labels;
}

CVT_END_NAMESPACE
