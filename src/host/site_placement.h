// How a run places its initial sites. Plain data, shared by the backends and by host-only code.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace cvt {

struct SitePlacement {
    enum class Kind {
        uniform,  // the seeding generator's draws, inside the box; seed 0 is the program's fixed start
        density,  // distinct voxels drawn with probability proportional to the density; never one of 0
        given,    // the listed sites
    };
    Kind kind = Kind::uniform;
    uint64_t seed = 0;
    std::vector<std::array<int, 3>> sites;  // given: distinct voxels of the full grid, inside the box
};

}  // namespace cvt
