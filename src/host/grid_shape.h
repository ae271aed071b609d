// The grids the program works on, how site codes name their voxels, and the density pyramid they
// allow, in one place:
// - a grid has a side of its own along each axis. Kernels are launched without bounds tests: in blocks
//   32 voxels wide along x, rows along y walked in tiles of 32, and lines across z in blocks of 4, so x
//   and y are multiples of 32 and z a multiple of 4;
// - a site code packs the three coordinates into fields of a width per axis (site_code.h): a 32-bit
//   int while they take at most 30 bits in all, so that the labelling's chain entries keep two bits of
//   their own, else a 64-bit one (a wide layout);
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
constexpr int maxGridSide = 16384;
constexpr int minPyramidEdge = 64;  // the longest side of a coarse level
constexpr int maxPyramidLevels = 10;
constexpr int narrowCodeBits = 30;  // coordinate bits of a 32-bit site code, all fields together
constexpr int standardFieldBits = 10;
constexpr double fixedMomentScale = 16777216.0;  // 2^24: the fraction of the moment sums (moment_sums.h)

// How a site code packs a voxel's coordinates: x in the highest field, z in the lowest, each field as
// wide as its axis needs. Grids whose sides are all at most 1024 use 10 bits per field. The codes of a
// layout are 32-bit ints, or 64-bit ones when it is `wide`; the fields read alike from either.
struct SiteLayout {
    int xBits = standardFieldBits, yBits = standardFieldBits, zBits = standardFieldBits;
    bool wide = false;

    template <class Code>
    __host__ __device__ __forceinline__ int x(Code code) const {
        return int((code >> (yBits + zBits)) & ((Code(1) << xBits) - 1));
    }
    template <class Code>
    __host__ __device__ __forceinline__ int y(Code code) const {
        return int((code >> zBits) & ((Code(1) << yBits) - 1));
    }
    template <class Code>
    __host__ __device__ __forceinline__ int z(Code code) const {
        return int(code & ((Code(1) << zBits) - 1));
    }
    // A code of type Code; host code keeps every code in 64 bits, which hold a narrow layout's too.
    template <class Code = int64_t>
    __host__ __device__ __forceinline__ Code encode(int cx, int cy, int cz) const {
        return (Code(cx) << (yBits + zBits)) | (Code(cy) << zBits) | Code(cz);
    }
    // The layout of the frame whose first two axes are exchanged (the labelling's transposed passes).
    __host__ __device__ __forceinline__ SiteLayout exchanged() const { return SiteLayout{yBits, xBits, zBits, wide}; }
    __host__ __device__ __forceinline__ int fieldBits() const { return xBits + yBits + zBits; }
    // Bytes of one code, and so of one voxel of a site volume.
    __host__ __device__ __forceinline__ int codeBytes() const { return wide ? 8 : 4; }
};

// Which code width a grid asks for: 32-bit codes wherever its fields fit them (every grid up to 2^30
// voxels with its sides rounded up to powers of two), or 64-bit codes in any case. Only tests and
// CVT_WIDE_SITE_CODES ask for wide codes on a grid that 32 bits would hold: the two give the same
// coordinates everywhere.
enum class CodeWidth { fitting, wide };

// The width that asks for the codes of `layout` again: on a slab or a grid of the same sides.
constexpr CodeWidth codeWidthOf(const SiteLayout& layout) { return layout.wide ? CodeWidth::wide : CodeWidth::fitting; }

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

    // 64-bit: a grid with wide codes may pass 2^31 voxels.
    __host__ __device__ __forceinline__ int64_t index(int i, int j, int k) const {
        return i + int64_t(x) * (j + int64_t(y) * k);
    }
    __host__ __device__ __forceinline__ int64_t voxels() const { return int64_t(x) * y * z; }
    // The z of plane k in the whole grid's coordinates.
    __host__ __device__ __forceinline__ int wholeZOf(int k) const { return zOrigin + k; }
    // The whole grid of which this one (a slab's grid, or a whole grid) is a window.
    __host__ __device__ constexpr GridShape whole() const {
        return wholeZ > 0 ? GridShape(x, y, wholeZ, codes) : GridShape(x, y, z, codes);
    }
    // Of the whole grid: the unit of distances in the energy.
    __host__ __device__ __forceinline__ int longestSide() const {
        const int depth = whole().z;
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
               codes.yBits == other.codes.yBits && codes.zBits == other.codes.zBits && codes.wide == other.codes.wide &&
               zOrigin == other.zOrigin &&
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

// The layout of a grid: 10 bits per axis while they hold every side, else just the bits each side needs;
// 64-bit codes where the fields pass narrowCodeBits or `width` asks for them.
constexpr SiteLayout layoutFor(int sx, int sy, int sz, CodeWidth width = CodeWidth::fitting) {
    SiteLayout layout;
    if (std::max({sx, sy, sz}) > (1 << standardFieldBits))
        layout = SiteLayout{fieldBitsFor(sx), fieldBitsFor(sy), fieldBitsFor(sz)};
    layout.wide = width == CodeWidth::wide || layout.fieldBits() > narrowCodeBits;
    return layout;
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
constexpr GridShape fullGrid(int sx, int sy, int sz, CodeWidth width = CodeWidth::fitting) {
    return GridShape(sx, sy, sz, layoutFor(sx, sy, sz, width));
}

// Why the buffer set cannot be allocated for `shape`, in words; empty when it can.
// A slab's grid (a window of planes of a whole grid, wholeZ > 0) is measured by the whole grid's sides.
inline std::string fullGridProblem(const GridShape& shape) {
    if (!isOnSteps(shape) || shape.longestSide() > maxGridSide)
        return "grid " + shapeText(shape) + " does not have " + stepsRule() + ", each at most " +
               std::to_string(maxGridSide);
    const SiteLayout layout = layoutFor(shape.x, shape.y, shape.whole().z, codeWidthOf(shape.codes));
    const GridShape own(shape.x, shape.y, shape.z, layout, shape.wholeZ > 0 ? shape.zOrigin : 0, shape.wholeZ);
    if (!(shape == own)) return "grid " + shapeText(shape) + " does not carry the site layout of its sides";
    return {};
}

// The longest row along x that the float sums (cvt's own centroid step) take: the step keeps a row's
// site map in a block's shared memory, 48 KiB where a kernel does not ask for more.
constexpr int maxFloatSumsRow = 48 * 1024 / 4;

// Why the float sums (cvt's own centroid step, --fast-atomics) cannot run on full grid `full`, in words;
// empty when they can. The step's kernels take 32-bit site codes only, and rows of at most
// maxFloatSumsRow voxels; exact sums take every grid.
inline std::string floatSumsProblem(const GridShape& full) {
    if (full.codes.wide)
        return "grid " + shapeText(full) +
               " needs 64-bit site codes, and float atomics take 32-bit ones only: sum exactly instead";
    if (full.x > maxFloatSumsRow)
        return "grid " + shapeText(full) + " has rows of more than " + std::to_string(maxFloatSumsRow) +
               " voxels along x, which float atomics do not take: sum exactly instead";
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
constexpr GridShape smallestGridHolding(GridBox box, CodeWidth width = CodeWidth::fitting) {
    const auto up = [](int side, int step) { return (side + step - 1) / step * step; };
    return fullGrid(up(box.x, sideStepXY), up(box.y, sideStepXY), up(box.z, sideStepZ), width);
}

// Throws cvt::Failure unless `shape` is a full grid.
inline void requireFullGrid(const GridShape& shape) {
    if (const std::string problem = fullGridProblem(shape); !problem.empty()) throw Failure(problem);
}

}  // namespace cvt
