#include "buffers.h"

#include <new>
#include <string>

CVT_BEGIN_NAMESPACE

GridShape gridSize;
uint64_t volumeBytes = 0;
uint64_t siteVolumeBytes = 0;
int** voronoiBuffers = nullptr;
int voronoiIndex = 0;
int* currentSites = nullptr;
int* scratchSites = nullptr;
float** densityLevels = nullptr;
float* momentBuffers[momentCount] = {};
MomentSums momentSums = MomentSums::floatAtomics;
float* energyBuffer = nullptr;
float energyReadback = 0.0f;
int levelIndex = 0;
float relaxation = 0.0f;
int iteration = 0;
SiteRandom siteRandom = {};
GridBox siteBox = {};
int* insideMaps[maxPyramidLevels] = {};
unsigned* insideMoves = nullptr;

namespace {

uint64_t allocatedBytes = 0;

uint64_t gridBytes(const GridShape& grid) { return uint64_t(grid.voxels()) * sizeof(float); }
uint64_t siteBytes(const GridShape& grid) { return uint64_t(grid.voxels()) * grid.codes.codeBytes(); }

int momentVolumesOf(MomentSums sums) { return sums == MomentSums::floatAtomics ? momentCount : 0; }

void requireFloatSumsFit(const GridShape& full, MomentSums sums) {
    if (sums != MomentSums::floatAtomics) return;
    if (const std::string problem = floatSumsProblem(full); !problem.empty()) throw Failure(problem);
}

template <class T>
void allocateVolume(T*& volume, uint64_t bytes, const char* what) {
    checkAllocation(cudaMalloc(&volume, bytes), what, bytes);
    allocatedBytes += bytes;
}

template <class T>
T* allocateHostArray(int slots) {
    T* array = new (std::nothrow) T[slots]();
    if (array == nullptr) throw Failure("host allocation of " + std::to_string(slots * sizeof(T)) + " bytes failed");
    return array;
}

// Frees a volume and clears its pointer. A failure is remembered, not thrown, so that one failed
// free does not leak the rest of the set.
template <class T>
void freeVolume(T*& volume, cudaError_t& firstFailure) {
    if (volume == nullptr) return;
    const cudaError_t status = cudaFree(volume);
    if (firstFailure == cudaSuccess) firstFailure = status;
    volume = nullptr;
}

}  // namespace

void allocateBuffers(const GridShape& full, MomentSums sums, bool masked) {
    if (voronoiBuffers != nullptr || densityLevels != nullptr) throw Failure("the device buffer set is already allocated");
    requireFullGrid(full);
    requireFloatSumsFit(full, sums);
    gridSize = full;
    siteBox = boxOf(full);
    voronoiBuffers = allocateHostArray<int*>(2);
    densityLevels = allocateHostArray<float*>(maxPyramidLevels);
    volumeBytes = gridBytes(full);
    siteVolumeBytes = siteBytes(full);
    allocateVolume(voronoiBuffers[0], siteVolumeBytes, "site volume 0");
    allocateVolume(voronoiBuffers[1], siteVolumeBytes, "site volume 1");
    const char* momentNames[momentCount] = {"the x-moment volume", "the y-moment volume", "the z-moment volume",
                                            "the mass volume"};
    momentSums = sums;
    for (int m = 0; m < momentVolumesOf(sums); ++m) allocateVolume(momentBuffers[m], volumeBytes, momentNames[m]);
    energyBuffer = momentBuffers[0];
    for (int level = 0; isPyramidLevel(full, level); ++level)
        allocateVolume(densityLevels[level], gridBytes(full.halved(level)), "a density pyramid level");
    if (!masked) return;
    for (int level = 0; isPyramidLevel(full, level); ++level)
        allocateVolume(insideMaps[level], siteBytes(full.halved(level)), "a mask's inside map");
    allocateVolume(insideMoves, sizeof(unsigned), "the count of moves into the mask");
}

namespace {

// Frees every volume of the set but the current site volume. Every pointer is null until allocated,
// so this also cleans up after a failed allocateBuffers.
void freeAllButCurrentSites(cudaError_t& firstFailure) {
    if (voronoiBuffers != nullptr) freeVolume(voronoiBuffers[1 - voronoiIndex], firstFailure);
    scratchSites = nullptr;
    for (float*& moment : momentBuffers) freeVolume(moment, firstFailure);
    energyBuffer = nullptr;
    if (densityLevels != nullptr)
        for (int level = 0; level < maxPyramidLevels; ++level) freeVolume(densityLevels[level], firstFailure);
    for (int*& map : insideMaps) freeVolume(map, firstFailure);
    freeVolume(insideMoves, firstFailure);
}

}  // namespace

void releaseAllButLabelling() {
    cudaError_t firstFailure = cudaSuccess;
    freeAllButCurrentSites(firstFailure);
    allocatedBytes = currentSites != nullptr ? siteVolumeBytes : 0;
    checkCuda(firstFailure, "releasing the device buffer set but the labelling");
}

void releaseBuffers() {
    cudaError_t firstFailure = cudaSuccess;
    freeAllButCurrentSites(firstFailure);
    if (voronoiBuffers != nullptr) freeVolume(voronoiBuffers[voronoiIndex], firstFailure);
    delete[] densityLevels;
    delete[] voronoiBuffers;
    densityLevels = nullptr;
    voronoiBuffers = nullptr;
    currentSites = nullptr;
    allocatedBytes = 0;
    checkCuda(firstFailure, "releasing the device buffer set");
}

uint64_t bufferSetBytes() { return allocatedBytes; }

uint64_t bufferSetBytesFor(const GridShape& full, MomentSums sums, bool masked) {
    requireFullGrid(full);
    requireFloatSumsFit(full, sums);
    uint64_t bytes = 2 * siteBytes(full) + uint64_t(momentVolumesOf(sums)) * gridBytes(full);
    for (int level = 0; isPyramidLevel(full, level); ++level)
        bytes += gridBytes(full.halved(level)) + (masked ? siteBytes(full.halved(level)) : 0);
    return bytes + (masked ? sizeof(unsigned) : 0);
}

CVT_END_NAMESPACE
