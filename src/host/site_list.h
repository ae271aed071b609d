// A run's sites as a list, for the runs that keep one (exact sums) rather than keep their sites in the
// site volumes alone. Plain data, shared by the backends and by host-only code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvt {

// Sites in a run's own order: the order of their placement, which merges keep (of two sites that land
// on one voxel the first stays), each with its origin: its row among the sites given, or its place
// among the sites drawn.
struct SiteList {
    std::vector<int64_t> codes;  // in 64 bits, whatever the width of the grid's codes
    std::vector<uint32_t> origins;

    size_t size() const { return codes.size(); }
    // Sites in this order, each its own origin.
    static SiteList initial(std::vector<int64_t> codes);
    // Without repeated codes, each where it first occurs.
    SiteList withoutRepeats() const;
};

}  // namespace cvt
