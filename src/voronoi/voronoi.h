// Exact nearest-site labelling of a site volume: every voxel gets the code of the site at the
// smallest weighted squared distance w.x dx^2 + w.y dy^2 + w.z dz^2, in 64-bit integers, with the
// integer weights of the voxel spacing (axis_spacing.h; all 1 for cubic voxels). Ties: smallest x,
// then smallest y, then largest z. The distance is a sum of one term per axis, so every pass below
// settles one axis and the tie rule carries over from pass to pass whatever the weights.
//
// The transform is separable: a flood along z gives every voxel the nearest site of its own column;
// then two rounds of a construction pass (which keeps, per line along the second array axis, only the
// candidates that are nearest somewhere on the line, as a linked chain) and a query pass (which walks
// that chain and writes each voxel's winner with the first two axes exchanged). The first round
// widens the column result to planes, the second to the whole grid and restores the grid's frame.
#pragma once

#include <cstdint>

#include "../device/device.h"
#include "../host/axis_spacing.h"

CVT_BEGIN_NAMESPACE

// The weights of a construction or query pass in its own frame: of the squared offsets along the first
// array axis, along the line (the rows) and along the third axis.
struct LineWeights {
    int64_t first = 1, row = 1, third = 1;
};

// Column flood along z. One thread per column (x, y); launch (N/32, N/4, 1) x (32, 4, 1).
// Writes the nearest site of each column to every voxel of it, EMPTY_SITE for a column without one.
__global__ void kernelFloodZ(const int* source, int* destination, int n);

// Construction pass along the second array axis. One thread per line (i, j) = (x, z); launch
// (N/32, N/4, 1) x (32, 4, 1). Leaves in `destination` the chain of the candidates that are nearest
// at some position of the line, headed at row N-1 (see chain_entry.h).
__global__ void kernelMaurerAxis(const int* source, int* destination, int n, LineWeights weights);

// Query pass over the chains of kernelMaurerAxis. Blocks of 32 x 2 threads on a grid (N/32, N, 1):
// block (bx, j) handles lines i = 32 bx .. 32 bx + 31 of plane j, two threads per line. Writes the
// nearest chain entry of line (i, j) for row y to voxel (y, i, j), with its first two fields exchanged.
__global__ void kernelColorAxis(const int* source, int* destination, int n, LineWeights weights);

// kernelFloodZ from voronoiBuffers[voronoiIndex] into the other buffer, at gridSize.
void launchFloodZ();
// kernelMaurerAxis from voronoiBuffers[voronoiIndex] into the other buffer, at gridSize.
void launchMaurerAxis(LineWeights weights = {});
// kernelColorAxis from voronoiBuffers[voronoiIndex ^ 1] into voronoiBuffers[voronoiIndex], at gridSize.
void launchColorAxis(LineWeights weights = {});

// Labels the grid of edge gridSize under `weights`. Consumes the site volume in voronoiBuffers[voronoiIndex], flips
// voronoiIndex once and leaves the labelling in currentSites (= voronoiBuffers[voronoiIndex]);
// scratchSites then holds meaningless intermediate data. Throws cvt::Failure, launching nothing and
// changing no state, if the buffer set is missing or gridSize is not a multiple of 32 from 32 to 1024
// that fits the allocated volumes.
void computeVoronoi(const AxisWeights& weights = {});

CVT_END_NAMESPACE
