// Marsaglia's KISS generator: two multiply-with-carry words, a 32-bit xorshift register and a linear
// congruential word, combined. Host only; all arithmetic is unsigned 32-bit, modulo 2^32.
#pragma once

#include <cstdint>

#include "buffers.h"
#include "weighted_sample.h"

CVT_BEGIN_NAMESPACE

// The program's fixed start: all words 0, where only the congruential word moves.
inline void resetKiss(SiteRandom& random) { random = SiteRandom{0, 0, 0, 0}; }

// Another start for another seed; seed 0 is the fixed start. The other seeds set every word, none of
// them to 0, which is a fixed point of the multiply-with-carry words and of the shift register.
inline void resetKiss(SiteRandom& random, uint64_t seed) {
    resetKiss(random);
    if (seed == 0) return;
    const auto word = [seed](uint64_t k) { return uint32_t(mixedBits(seed, k)) | 1u; };
    random = SiteRandom{word(0) & 0x7FFFFFFFu, word(1) & 0x7FFFFFFFu, word(2), word(3)};
}

// Advances all three generators and returns their combination.
inline uint32_t drawKiss(SiteRandom& random) {
    random.carryA = 36969u * (random.carryA & 0xFFFFu) + (random.carryA >> 16);
    random.carryB = 18000u * (random.carryB & 0xFFFFu) + (random.carryB >> 16);
    random.congruence = 69069u * random.congruence + 1234567u;
    random.shiftRegister ^= random.shiftRegister << 17;
    random.shiftRegister ^= random.shiftRegister >> 13;
    random.shiftRegister ^= random.shiftRegister << 5;
    return (((random.carryA << 16) + random.carryB) ^ random.congruence) + random.shiftRegister;
}

// A coordinate in 0 .. edge - 1 from a draw: floor(draw * edge / 2^32). Every step is exact in double
// precision, so for a power-of-two edge this is the top bits of the draw.
inline int coordinateOfDraw(uint32_t draw, int edge) {
    return static_cast<int>(static_cast<double>(draw) * 2.3283064365386963e-10 * static_cast<double>(edge));
}

CVT_END_NAMESPACE
