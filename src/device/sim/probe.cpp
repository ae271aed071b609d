// The simulation runs wherever the program runs, and its device memory is the host's.
#include "../device.h"
#include "state.h"

CVT_BEGIN_NAMESPACE

std::optional<std::string> unavailableReason() { return std::nullopt; }

std::string deviceName() { return "CPU simulation on " + std::to_string(hostWorkerCount()) + " host threads"; }

const char* backendName() { return "sim"; }

bool deviceMemoryIsHostMemory() { return true; }

void useDeviceOfRank(int) {}

CVT_END_NAMESPACE
