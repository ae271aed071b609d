// The grids the program works on, how site codes name their voxels, and the density pyramid they
// allow, in one place:
// - a grid has a side of its own along each axis. Kernels are launched without bounds tests: in blocks
//   32 voxels wide along x, rows along y walked in tiles of 32, and lines across z in blocks of 4, so x
//   and y are multiples of 32 and z a multiple of 4;
// - a site code packs the three coordinates into fields of a width per axis (site_code.h), 30 bits in
//   all, so that the labelling's chain entries keep two bits of their own;
// - a coarse pyramid level halves every side exactly, keeps every side a multiple of its step and its
//   longest side at least 64.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "../device/failure.h"
#include "../device/qualifiers.h"

namespace cvt {

constexpr int sideStepXY = 32;
constexpr int sideStepZ = 4;
constexpr int maxGridSide = 4096;
constexpr int minPyramidEdge = 64;  // the longest side of a coarse level
constexpr int maxPyramidLevels = 10;
constexpr int siteCodeBits = 30;   // coordinate bits of a site code, all fields together
constexpr int standardFieldBits = 10;
constexpr double fixedMomentScale = 16777216.0;  // 2^24: the fraction of the moment sums (moment_sums.h)

// How a site code packs a voxel's coordinates: x in the highest field, z in the lowest, each field as
// wide as its axis needs. Grids whose sides are all at most 1024 use 10 bits per field.
struct SiteLayout {
    int xBits = standardFieldBits, yBits = standardFieldBits, zBits = standardFieldBits;

    __host__ __device__ __forceinline__ int x(int32_t code) const { return (code >> (yBits + zBits)) & ((1 << xBits) - 1); }
    __host__ __device__ __forceinline__ int y(int32_t code) const { return (code >> zBits) & ((1 << yBits) - 1); }
    __host__ __device__ __forceinline__ int z(int32_t code) const { return code & ((1 << zBits) - 1); }
    __host__ __device__ __forceinline__ int32_t encode(int cx, int cy, int cz) const {
        return (cx << (yBits + zBits)) | (cy << zBits) | cz;
    }
    // The layout of the frame whose first two axes are exchanged (the labelling's transposed passes).
    __host__ __device__ __forceinline__ SiteLayout exchanged() const { return SiteLayout{yBits, xBits, zBits}; }
};

// A grid of x * y * z voxels, voxel (i, j, k) at index i + x * (j + y * k), and the layout of its site
// codes. An int makes a cube with the standard layout. Coarse levels keep the layout of the full grid.
struct GridShape {
    int x = 0, y = 0, z = 0;
    SiteLayout codes;
    // A grid can be a window of planes of a larger one (a slab of it): its plane k is plane zOrigin + k
    // of the whole grid, which has wholeZ planes (0: this grid is whole). Site codes and every distance
    // are in the whole grid's coordinates.
    int zOrigin = 0, wholeZ = 0;

    constexpr GridShape() = default;
    __host__ __device__ constexpr GridShape(int edge) : x(edge), y(edge), z(edge) {}  // NOLINT: a cube of that edge
    __host__ __device__ constexpr GridShape(int sx, int sy, int sz, SiteLayout layout = {}, int origin = 0,
                                            int whole = 0)
        : x(sx), y(sy), z(sz), codes(layout), zOrigin(origin), wholeZ(whole) {}

    __host__ __device__ __forceinline__ int index(int i, int j, int k) const { return i + x * (j + y * k); }
    __host__ __device__ __forceinline__ int64_t voxels() const { return int64_t(x) * y * z; }
    // The z of plane k in the whole grid's coordinates.
    __host__ __device__ __forceinline__ int wholeZOf(int k) const { return zOrigin + k; }
    // Of the whole grid: the unit of distances in the energy.
    __host__ __device__ __forceinline__ int longestSide() const {
        const int depth = wholeZ > 0 ? wholeZ : z;
        return x > y ? (x > depth ? x : depth) : (y > depth ? y : depth);
    }
    // The same voxels with x and y exchanged, as the labelling's query pass writes them.
    __host__ __device__ __forceinline__ GridShape exchanged() const {
        return GridShape(y, x, z, codes.exchanged(), zOrigin, wholeZ);
    }
    __host__ __device__ constexpr GridShape halved(int levels) const {
        return GridShape(x >> levels, y >> levels, z >> levels, codes, zOrigin >> levels, wholeZ >> levels);
    }
    __host__ __device__ constexpr GridShape doubled() const {
        return GridShape(2 * x, 2 * y, 2 * z, codes, 2 * zOrigin, 2 * wholeZ);
    }
    constexpr bool operator==(const GridShape& other) const {
        return x == other.x && y == other.y && z == other.z && codes.xBits == other.codes.xBits &&
               codes.yBits == other.codes.yBits && codes.zBits == other.codes.zBits && zOrigin == other.zOrigin &&
               wholeZ == other.wholeZ;
    }
};

// A box at the origin of a grid: voxels [0, x) x [0, y) x [0, z).
struct GridBox {
    int x = 0, y = 0, z = 0;
};

constexpr GridBox cubeBox(int edge) { return GridBox{edge, edge, edge}; }
constexpr GridBox boxOf(const GridShape& shape) { return GridBox{shape.x, shape.y, shape.z}; }

// The box that covers `box` on pyramid level `level`: every coarse voxel with a fine voxel in the box.
constexpr GridBox levelBox(GridBox box, int level) {
    const int round = (1 << level) - 1;
    return GridBox{(box.x + round) >> level, (box.y + round) >> level, (box.z + round) >> level};
}

// Bits a field needs for coordinates 0 .. side - 1.
constexpr int fieldBitsFor(int side) {
    int bits = 0;
    while ((1 << bits) < side) ++bits;
    return bits;
}

// The layout of a grid: 10 bits per axis while they hold every side, else just the bits each side needs.
constexpr SiteLayout layoutFor(int sx, int sy, int sz) {
    if (std::max({sx, sy, sz}) <= (1 << standardFieldBits)) return SiteLayout{};
    return SiteLayout{fieldBitsFor(sx), fieldBitsFor(sy), fieldBitsFor(sz)};
}

// Whether every side is positive and a multiple of its step: what a kernel launch on the grid needs.
constexpr bool isOnSteps(const GridShape& shape) {
    return shape.x > 0 && shape.y > 0 && shape.z > 0 && shape.x % sideStepXY == 0 && shape.y % sideStepXY == 0 &&
           shape.z % sideStepZ == 0;
}

inline std::string shapeText(const GridShape& shape) {
    return std::to_string(shape.x) + " x " + std::to_string(shape.y) + " x " + std::to_string(shape.z);
}

// The rule of isOnSteps, as messages give it.
inline std::string stepsRule() {
    return "x and y multiples of " + std::to_string(sideStepXY) + " and z a multiple of " + std::to_string(sideStepZ);
}

// The full grid of these sides, with its layout.
constexpr GridShape fullGrid(int sx, int sy, int sz) { return GridShape(sx, sy, sz, layoutFor(sx, sy, sz)); }

// Why the buffer set cannot be allocated for `shape`, in words; empty when it can.
// A slab's grid (a window of planes of a whole grid, wholeZ > 0) is measured by the whole grid's sides.
inline std::string fullGridProblem(const GridShape& shape) {
    if (!isOnSteps(shape) || shape.longestSide() > maxGridSide)
        return "grid " + shapeText(shape) + " does not have " + stepsRule() + ", each at most " +
               std::to_string(maxGridSide);
    const int depth = shape.wholeZ > 0 ? shape.wholeZ : shape.z;
    const SiteLayout layout = layoutFor(shape.x, shape.y, depth);
    if (layout.xBits + layout.yBits + layout.zBits > siteCodeBits)
        return "grid " + shapeText(shape) + " needs " + std::to_string(layout.xBits + layout.yBits + layout.zBits) +
               " bits of site coordinates; at most " + std::to_string(siteCodeBits) +
               " (the product of the sides rounded up to powers of two at most 2^30)";
    const GridShape own(shape.x, shape.y, shape.z, layout, shape.wholeZ > 0 ? shape.zOrigin : 0, shape.wholeZ);
    if (!(shape == own)) return "grid " + shapeText(shape) + " does not carry the site layout of its sides";
    return {};
}

// Whether the buffer set can be allocated for full grid `shape`.
inline bool isFullGrid(const GridShape& shape) { return fullGridProblem(shape).empty(); }

// Whether level `level` (0 = the full grid) of the pyramid of full grid `full` exists.
inline bool isPyramidLevel(const GridShape& full, int level) {
    if (level < 0 || level >= maxPyramidLevels || !isFullGrid(full)) return false;
    const GridShape coarse = full.halved(level);
    return level == 0 || ((coarse.x << level) == full.x &&
                          (coarse.y << level) == full.y && (coarse.z << level) == full.z && isOnSteps(coarse) &&
                          coarse.longestSide() >= minPyramidEdge);
}

// How many levels a run on full grid `full` uses when it may use up to `maxLevels`: the leading
// pyramid levels, at most maxLevels of them.
inline int usableLevelCount(const GridShape& full, int maxLevels) {
    int levels = 0;
    while (levels < maxLevels && isPyramidLevel(full, levels)) ++levels;
    return levels;
}

// The smallest grid that holds a box of these sides (each 1 .. maxGridSide) at its origin.
constexpr GridShape smallestGridHolding(GridBox box) {
    const auto up = [](int side, int step) { return (side + step - 1) / step * step; };
    return fullGrid(up(box.x, sideStepXY), up(box.y, sideStepXY), up(box.z, sideStepZ));
}

// Throws cvt::Failure unless `shape` is a full grid.
inline void requireFullGrid(const GridShape& shape) {
    if (const std::string problem = fullGridProblem(shape); !problem.empty()) throw Failure(problem);
}

}  // namespace cvt
