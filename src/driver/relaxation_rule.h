// The decision taken every tenth iteration from the energy: the next over-relaxation factor and
// whether the level has converged. Pure, so that every rounding of it can be tested directly.
#pragma once

namespace cvt {

struct RelaxationDecision {
    float decreaseRate;    // energy drop per iteration over the last ten
    float relaxation;      // factor for the next iterations
    bool levelEnds;        // the level (on the full grid: the run) has converged
    float previousEnergy;  // what the next decision compares with
};

// `energy` is the energy now, `previousEnergy` the one recorded at an earlier decision, both on the
// scale of the full grid; `levelIndex` 0 is the full grid, which has the finer threshold.
RelaxationDecision decideRelaxation(float previousEnergy, float energy, int levelIndex);

}  // namespace cvt
