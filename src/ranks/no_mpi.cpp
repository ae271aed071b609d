// Ranks in a build without MPI: every process stands alone, and one that a launcher started as one
// of several ranks says so rather than computing the whole volume once per rank.
#include <cstdlib>

#include "device/failure.h"
#include "process_ranks.h"

namespace cvt {

ProcessRanks::ProcessRanks(int&, char**&) {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE"})
        if (const char* size = std::getenv(name); size != nullptr && std::atoi(size) > 1)
            throw Failure("started as one of " + std::string(size) + " MPI ranks, but built without MPI");
}

ProcessRanks::~ProcessRanks() = default;

}  // namespace cvt
