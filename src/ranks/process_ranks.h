// This process's place among the ranks that an MPI launcher started it with. A process started
// without one, or as the only rank, stands alone and runs as it always does.
#pragma once

#include <memory>

#include "driver/rank_group.h"

namespace cvt {

class ProcessRanks {
public:
    // Joins the other ranks when an MPI launcher's environment says there are some (MPI is not
    // started otherwise: a program run by hand needs none). Throws cvt::Failure when a launcher
    // started this process but the build has no MPI.
    ProcessRanks(int& argc, char**& argv);
    ~ProcessRanks();
    ProcessRanks(const ProcessRanks&) = delete;
    ProcessRanks& operator=(const ProcessRanks&) = delete;

    // The ranks when there are two or more, else null.
    RankGroup* group() const { return group_.get(); }
    // Whether this process speaks for the run: the first rank, or the process alone.
    bool leads() const { return group_ == nullptr || group_->rank() == 0; }

private:
    bool started_ = false;
    std::unique_ptr<RankGroup> group_;
};

// Whether an MPI launcher started this process, by the environment it gives its ranks.
bool launchedByMpi();

}  // namespace cvt
