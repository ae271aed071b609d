// The grid edges the program works on, and the density pyramid they allow, in one place:
// - kernels are launched without bounds tests in blocks 32 voxels wide, and rows are walked in chunks
//   and tiles of 32, so an edge is a multiple of 32;
// - a site code has 10 bits per coordinate, so an edge is at most 1024;
// - the buffer set is allocated for a full edge whose density pyramid has at least one level, and a
//   pyramid level is at least 64 on a side.
#pragma once

#include <string>

#include "../device/failure.h"

namespace cvt {

constexpr int gridEdgeStep = 32;
constexpr int maxGridEdge = 1024;
constexpr int minPyramidEdge = 64;
constexpr int maxPyramidLevels = 10;

// Whether the kernels can work on a grid of edge n.
constexpr bool isWorkableEdge(int n) { return n >= gridEdgeStep && n <= maxGridEdge && n % gridEdgeStep == 0; }

// Whether the buffer set can be allocated for full edge n.
constexpr bool isFullEdge(int n) { return isWorkableEdge(n) && n >= minPyramidEdge; }

// Whether level `level` (0 = the full grid) of the pyramid of full edge `fullEdge` exists: levels halve
// the edge exactly and each is a full edge in its own right.
constexpr bool isPyramidLevel(int fullEdge, int level) {
    return level >= 0 && level < maxPyramidLevels && ((fullEdge >> level) << level) == fullEdge &&
           isFullEdge(fullEdge >> level);
}

// How many levels a run on full edge `fullEdge` uses when it may use up to `maxLevels`: the leading
// pyramid levels, at most maxLevels of them.
constexpr int usableLevelCount(int fullEdge, int maxLevels) {
    int levels = 0;
    while (levels < maxLevels && isPyramidLevel(fullEdge, levels)) ++levels;
    return levels;
}

// The smallest full edge whose cube holds a box with the given longest side (1 .. maxGridEdge).
constexpr int smallestFullEdgeHolding(int side) {
    const int rounded = (side + gridEdgeStep - 1) / gridEdgeStep * gridEdgeStep;
    return rounded < minPyramidEdge ? minPyramidEdge : rounded;
}

// A box at the origin of a grid: voxels [0, x) x [0, y) x [0, z).
struct GridBox {
    int x = 0, y = 0, z = 0;
};

constexpr GridBox cubeBox(int edge) { return GridBox{edge, edge, edge}; }

// The box that covers `box` on pyramid level `level`: every coarse voxel with a fine voxel in the box.
constexpr GridBox levelBox(GridBox box, int level) {
    const int round = (1 << level) - 1;
    return GridBox{(box.x + round) >> level, (box.y + round) >> level, (box.z + round) >> level};
}

inline std::string fullEdgeRule() {
    return "a multiple of " + std::to_string(gridEdgeStep) + " from " + std::to_string(minPyramidEdge) + " to " +
           std::to_string(maxGridEdge);
}

// Throws cvt::Failure unless n is a full edge.
inline void requireFullEdge(int n) {
    if (!isFullEdge(n)) throw Failure("grid edge " + std::to_string(n) + " is not " + fullEdgeRule());
}

}  // namespace cvt
