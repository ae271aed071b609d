#include <cstdlib>

#include "process_ranks.h"

namespace cvt {

bool launchedByMpi() {
    // Open MPI's launcher, and the PMI and PMIx interfaces that other launchers (and srun) provide.
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

}  // namespace cvt
