// The chain that the construction pass leaves on every line and the query pass walks.
//
// Each retained candidate is stored at its own row as a ChainEntry, in the fields of the pass's frame
// (its SiteLayout, whose y field is the row axis):
//   bit 31         0
//   bit 30         CHAIN_LINKED: a lower entry follows on the chain
//   x field        the candidate's first coordinate (copied from its code)
//   y field        link: the row of the next lower entry (0 for the bottom entry)
//   z field        the candidate's third coordinate
// The fields take at most 30 bits (grid_shape.h), so the two flags lie above them.
// Row N-1 always heads the chain: it holds the topmost entry when row N-1 has a candidate, otherwise
// an end marker with bit 31 set, CHAIN_LINKED set when the chain is not empty, and the row of the
// topmost entry as its link. An empty line's end marker is exactly EMPTY_SITE.
#pragma once

#include "../device/device.h"
#include "../host/site_code.h"

CVT_BEGIN_NAMESPACE

constexpr int CHAIN_LINKED = 0x40000000;
constexpr int CHAIN_END = INT32_MIN;  // bit 31 of an end marker

__host__ __device__ __forceinline__ bool chainLinked(int entry) { return (entry & CHAIN_LINKED) != 0; }
__host__ __device__ __forceinline__ int chainLink(int entry, SiteLayout frame) { return frame.y(entry); }

// The entry for candidate `code`, linked to `linkRow` when `linked`.
__host__ __device__ __forceinline__ int chainEntry(SiteCode code, bool linked, int linkRow, SiteLayout frame) {
    return (linked ? CHAIN_LINKED : 0) | frame.encode(frame.x(code), linkRow, frame.z(code));
}

// The head written at row N-1 when that row holds no candidate.
__host__ __device__ __forceinline__ int chainEndMarker(bool linked, int topRow, SiteLayout frame) {
    return CHAIN_END | (linked ? CHAIN_LINKED : 0) | frame.encode(0, topRow, 0);
}

CVT_END_NAMESPACE
