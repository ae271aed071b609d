// The buffer set: all device memory of the program and the scalar state that host code shares.
// allocateBuffers takes every device volume once, at full size, before any other work; coarser levels
// reuse the leading part of the same volumes. releaseBuffers gives everything back.
#pragma once

#include <cstdint>

#include "../device/device.h"
#include "grid_shape.h"
#include "site_code.h"

CVT_BEGIN_NAMESPACE

// State of the seeding generator (a KISS combination of three generators).
struct SiteRandom {
    uint32_t carryA;
    uint32_t carryB;
    uint32_t shiftRegister;
    uint32_t congruence;
};

constexpr int momentCount = 4;  // x-moment, y-moment, z-moment, mass

// How a run sums its regions: float atomics into the moment volumes (the program's own centroid
// step), or exact integer sums into a table by site (centroid/region_sums.h), which needs no moment
// volumes and makes every run the same to the bit.
enum class MomentSums { floatAtomics, exact };

extern GridShape gridSize;    // the grid currently worked on (the full grid or a pyramid level of it)
extern uint64_t volumeBytes;  // bytes of one full-size float volume
// Bytes of one full-size site volume: 4 a voxel, or 8 where the full grid's codes are wide. The site
// volumes and the inside maps below are declared as int; on such a grid each voxel takes two of them
// (site_code.h, codesIn).
extern uint64_t siteVolumeBytes;
extern int** voronoiBuffers;  // the ping-pong pair of site volumes / labellings
extern int voronoiIndex;      // which entry of voronoiBuffers is current
extern int* currentSites;     // voronoiBuffers[voronoiIndex]
extern int* scratchSites;     // voronoiBuffers[voronoiIndex ^ 1]
extern float** densityLevels; // density pyramid, slot i of the full grid halved i times
extern float* momentBuffers[momentCount];  // with float sums only
extern MomentSums momentSums;
// Per-voxel energy terms and reduction scratch: the x-moment volume under another name. The energy is
// evaluated between a labelling and the centroid step, which rebuilds the moments before it reads them.
// With exact sums there is none: the energy comes from the sums.
extern float* energyBuffer;
extern float energyReadback;
extern int levelIndex;
extern float relaxation;
extern int iteration;
extern SiteRandom siteRandom;
extern GridBox siteBox;       // where sites may lie on the full grid: the whole grid unless a run narrows it
// With a mask, per pyramid level: the labelling whose sites are the level's inside voxels (see
// InsideMap), and the count of sites sent inside; null without one.
extern int* insideMaps[maxPyramidLevels];
extern unsigned* insideMoves;

// Creates the set for full grid `full` (see grid_shape.h; an int is a cube), with the moment volumes
// that `sums` needs and, when `masked`, the inside maps of every level, and sets gridSize to it.
// Throws cvt::Failure if the set exists already, the grid is unusable (with float sums: see
// floatSumsProblem), or an allocation fails; what was allocated before the failure stays in
// the set for releaseBuffers.
void allocateBuffers(const GridShape& full, MomentSums sums = MomentSums::floatAtomics, bool masked = false);
// Frees everything the set holds; safe after a partial allocation and when nothing is allocated.
void releaseBuffers();
// Frees everything but the current site volume (the final labelling), so that a large run can copy
// the labelling out without holding the rest of the set; releaseBuffers frees that too.
void releaseAllButLabelling();

// Runs `body`, which allocates the set and works on it, and releases the set afterwards, also when
// `body` throws. A device in a failed state may refuse to free memory: after a failure, the first
// failure is the one to report.
template <class Body>
auto releasingBuffers(Body&& body) -> decltype(body()) {
    try {
        auto result = body();
        releaseBuffers();
        return result;
    } catch (...) {
        try {
            releaseBuffers();
        } catch (const Failure&) {
        }
        throw;
    }
}
// Device bytes the set holds now.
uint64_t bufferSetBytes();
// Device bytes allocateBuffers(full, sums, masked) takes.
uint64_t bufferSetBytesFor(const GridShape& full, MomentSums sums = MomentSums::floatAtomics, bool masked = false);


CVT_END_NAMESPACE
