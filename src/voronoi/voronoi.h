// Exact nearest-site labelling of a site volume: every voxel gets the code of the site at the
// smallest integer squared Euclidean distance (ties: smallest x, then smallest y, then largest z).
//
// The transform is separable: a flood along z gives every voxel the nearest site of its own column;
// then two rounds of a construction pass (which keeps, per line along the second array axis, only the
// candidates that are nearest somewhere on the line, as a linked chain) and a query pass (which walks
// that chain and writes each voxel's winner with the first two axes exchanged). The first round
// widens the column result to planes, the second to the whole grid and restores the grid's frame.
#pragma once

#include "../device/device.h"

CVT_BEGIN_NAMESPACE

// Column flood along z. One thread per column (x, y); launch (N/32, N/4, 1) x (32, 4, 1).
// Writes the nearest site of each column to every voxel of it, EMPTY_SITE for a column without one.
__global__ void kernelFloodZ(const int* source, int* destination, int n);

// Construction pass along the second array axis. One thread per line (i, j) = (x, z); launch
// (N/32, N/4, 1) x (32, 4, 1). Leaves in `destination` the chain of the candidates that are nearest
// at some position of the line, headed at row N-1 (see chain_entry.h).
__global__ void kernelMaurerAxis(const int* source, int* destination, int n);

// Query pass over the chains of kernelMaurerAxis. Blocks of 32 x 2 threads on a grid (N/32, N, 1):
// block (bx, j) handles lines i = 32 bx .. 32 bx + 31 of plane j, two threads per line. Writes the
// nearest chain entry of line (i, j) for row y to voxel (y, i, j), with its first two fields exchanged.
__global__ void kernelColorAxis(const int* source, int* destination, int n);

// kernelFloodZ from voronoiBuffers[voronoiIndex] into the other buffer, at gridSize.
void launchFloodZ();
// kernelMaurerAxis from voronoiBuffers[voronoiIndex] into the other buffer, at gridSize.
void launchMaurerAxis();
// kernelColorAxis from voronoiBuffers[voronoiIndex ^ 1] into voronoiBuffers[voronoiIndex], at gridSize.
void launchColorAxis();

// Labels the grid of edge gridSize. Consumes the site volume in voronoiBuffers[voronoiIndex], flips
// voronoiIndex once and leaves the labelling in currentSites (= voronoiBuffers[voronoiIndex]);
// scratchSites then holds meaningless intermediate data. Throws cvt::Failure, launching nothing and
// changing no state, if the buffer set is missing or gridSize is not a multiple of 32 from 32 to 1024
// that fits the allocated volumes.
void computeVoronoi();

CVT_END_NAMESPACE
