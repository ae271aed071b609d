// The chain that the construction pass leaves on every line and the query pass walks.
//
// Each retained candidate is stored at its own row as a ChainEntry:
//   bit 31      0
//   bit 30      CHAIN_LINKED: a lower entry follows on the chain
//   bits 20-29  the candidate's first coordinate (copied from its code)
//   bits 10-19  link: the row of the next lower entry (0 for the bottom entry)
//   bits 0-9    the candidate's third coordinate
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
__host__ __device__ __forceinline__ int chainLink(int entry) { return (entry >> 10) & coordinateMask; }

// The entry for candidate `code`, linked to `linkRow` when `linked`.
__host__ __device__ __forceinline__ int chainEntry(SiteCode code, bool linked, int linkRow) {
    return (linked ? CHAIN_LINKED : 0) | (siteX(code) << 20) | (linkRow << 10) | siteZ(code);
}

// The head written at row N-1 when that row holds no candidate.
__host__ __device__ __forceinline__ int chainEndMarker(bool linked, int topRow) {
    return CHAIN_END | (linked ? CHAIN_LINKED : 0) | (topRow << 10);
}

CVT_END_NAMESPACE
