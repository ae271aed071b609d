// The text output of a labelling: one line "v %d %d %d\n" per voxel, x outermost, then y, z innermost,
// each giving the coordinates of the site that owns the voxel. The bytes are those that printf would
// write, produced by hand because printf is several times slower.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "grid_shape.h"

namespace cvt {

constexpr int labellingEdge = 256;
constexpr size_t labellingLines = size_t(labellingEdge) * labellingEdge * labellingEdge;
// The most bytes formatLabelLine writes or scribbles over: it stores whole 8-byte words.
constexpr size_t labelLineRoom = 24;

// Writes the line of one label (a site code; a negative label decodes like one, EMPTY_SITE as 0 0 0)
// at `out` and returns the end of the line. Bytes up to out + labelLineRoom may be overwritten.
char* formatLabelLine(char* out, int32_t label);

// Index into the program's 256^3 labelling of the voxel that the 0-based line `line` describes.
size_t labelIndexOfLine(size_t line);

// Receives the text in pieces of a few MiB; throws to stop the writing.
using TextSink = std::function<void(const char* data, size_t bytes)>;

// Writes the lines of the voxels of `box` of a labelling of `grid` (labels[grid.index(x, y, z)], site
// codes in the grid's layout and of its width: int32_t, or int64_t where it is wide).
template <class Code>
void writeLabelling(const Code* labels, const GridShape& grid, GridBox box, const TextSink& sink);

// Writes all lines of the program's 256^3 labelling to the file descriptor. Throws cvt::Failure when
// the descriptor takes fewer bytes than written (a full disk, a closed pipe).
void writeLabelling(const int32_t* labels, int fd);

}  // namespace cvt
