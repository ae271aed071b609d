// The chain that the construction pass leaves on every line and the query pass walks.
//
// Each retained candidate is stored at its own row as a chain entry, a code of the labelling's type
// (32 or 64 bits, B of them) in the fields of the pass's frame (its SiteLayout, whose y field is the
// row axis):
//   bit B-1        0
//   bit B-2        chainLinkedBit: a lower entry follows on the chain
//   x field        the candidate's first coordinate (copied from its code)
//   y field        link: the row of the next lower entry (0 for the bottom entry)
//   z field        the candidate's third coordinate
// The fields take at most 30 bits of a 32-bit code and 42 of a 64-bit one (grid_shape.h), so the two
// flags lie above them.
// Row N-1 always heads the chain: it holds the topmost entry when row N-1 has a candidate, otherwise
// an end marker with bit B-1 set, chainLinkedBit set when the chain is not empty, and the row of the
// topmost entry as its link. An empty line's end marker is exactly emptySite<Code>.
#pragma once

#include "../device/device.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

template <class Code>
constexpr Code chainLinkedBit = Code(1) << (8 * sizeof(Code) - 2);
template <class Code>
constexpr Code chainEndBit = emptySite<Code>;  // the sign bit of an end marker

template <class Code>
__host__ __device__ __forceinline__ bool chainLinked(Code entry) {
    return (entry & chainLinkedBit<Code>) != 0;
}
template <class Code>
__host__ __device__ __forceinline__ int chainLink(Code entry, SiteLayout frame) {
    return frame.y(entry);
}

// The entry for candidate `code`, linked to `linkRow` when `linked`.
template <class Code>
__host__ __device__ __forceinline__ Code chainEntry(Code code, bool linked, int linkRow, SiteLayout frame) {
    return (linked ? chainLinkedBit<Code> : 0) | frame.encode<Code>(frame.x(code), linkRow, frame.z(code));
}

// The head written at row N-1 when that row holds no candidate.
template <class Code>
__host__ __device__ __forceinline__ Code chainEndMarker(bool linked, int topRow, SiteLayout frame) {
    return chainEndBit<Code> | (linked ? chainLinkedBit<Code> : 0) | frame.encode<Code>(0, topRow, 0);
}

CVT_END_NAMESPACE
