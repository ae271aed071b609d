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
#include "../host/grid_shape.h"

CVT_BEGIN_NAMESPACE

// The weights of a construction or query pass in its own frame: of the squared offsets along the first
// array axis, along the line (the rows) and along the third axis.
struct LineWeights {
    int64_t first = 1, row = 1, third = 1;
};

// Every pass takes the grid g of its source in the pass's own frame: its sides and the site layout of
// the codes in it. A pass along the second array axis works on lines (i, j) = (x, z) of g, each of g.y
// rows, g.x codes apart. Each pass is written once for codes of type Code (site_code.h), which must be
// the type of g's layout: SiteCode, or WideSiteCode for a wide one.

// Column flood along z. One thread per column (x, y); launch columnGrid(g) x lineBlock().
// Writes the nearest site of each column to every voxel of it, emptySite<Code> for a column without one.
template <class Code>
__global__ void kernelFloodZ(const Code* source, Code* destination, GridShape g);

// Construction pass along the second array axis. One thread per line (i, j) = (x, z); launch
// lineGrid(g) x lineBlock(). Leaves in `destination` the chain of the candidates that are nearest at
// some position of the line, headed at row g.y - 1 (see chain_entry.h), in the frame of g.
template <class Code>
__global__ void kernelMaurerAxis(const Code* source, Code* destination, GridShape g, LineWeights weights);

// Query pass over the chains of kernelMaurerAxis. Blocks of 32 x 2 threads on queryGrid(g): block
// (bx, j) handles lines i = 32 bx .. 32 bx + 31 of plane j, two threads per line. Writes the nearest
// chain entry of line (i, j) for row y to voxel (y, i, j) of the grid g.exchanged(), as a code of that
// grid: the first two fields exchanged.
template <class Code>
__global__ void kernelColorAxis(const Code* source, Code* destination, GridShape g, LineWeights weights);

// kernelFloodZ from voronoiBuffers[voronoiIndex] into the other buffer, on gridSize.
void launchFloodZ();
// kernelMaurerAxis from voronoiBuffers[voronoiIndex] into the other buffer, on `frame` (gridSize or
// gridSize.exchanged()).
void launchMaurerAxis(const GridShape& frame, LineWeights weights = {});
// kernelColorAxis from voronoiBuffers[voronoiIndex ^ 1] into voronoiBuffers[voronoiIndex], on `frame`.
void launchColorAxis(const GridShape& frame, LineWeights weights = {});

// Labels gridSize under `weights`. Consumes the site volume in voronoiBuffers[voronoiIndex], flips
// voronoiIndex once and leaves the labelling in currentSites (= voronoiBuffers[voronoiIndex]);
// scratchSites then holds meaningless intermediate data. Throws cvt::Failure, launching nothing and
// changing no state, if the buffer set is missing or gridSize is not a launchable grid (x and y
// multiples of 32, z of 4) that fits the allocated volumes.
void computeVoronoi(const AxisWeights& weights = {});

CVT_END_NAMESPACE
