// Flags to bits on the host: 32 flags of 0 or 1 packed into a word, flag i at bit i. Loops that
// compare 32 values into bytes become vector compares, where a loop that shifts each comparison into
// place does not; each eight bytes are then packed by one multiplication, which gathers byte i's bit
// (byte i being bits 8i up on a little-endian host) at bit 56 + i.
#pragma once

#include <cstdint>
#include <cstring>

namespace cvt {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the bytes of a word are read lowest first");

inline uint32_t packFlags(const uint8_t (&flags)[32]) {
    uint32_t bits = 0;
    for (int eighth = 0; eighth < 4; ++eighth) {
        uint64_t bytes;
        std::memcpy(&bytes, flags + 8 * eighth, sizeof bytes);
        bits |= uint32_t((bytes * 0x0102040810204080ull) >> 56) << (8 * eighth);
    }
    return bits;
}

// Bit i set where a[i] == b[i], for 32 values.
template <class T>
inline uint32_t equalBits(const T* a, const T* b) {
    uint8_t equal[32];
    for (int i = 0; i < 32; ++i) equal[i] = a[i] == b[i];
    return packFlags(equal);
}

}  // namespace cvt
