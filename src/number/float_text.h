// Shortest round-trip text of binary floating-point values.
//
// The digits are the fewest that read back to the same value at its own
// width, nearest to it, ties to an even last digit. They are laid out in
// plain notation for decimal exponents -5..15 (double) or -6..12 (single)
// and in exponent notation otherwise: 0.00001, 123.456, 1e+16, 1.5e-7. The
// text never has a leading "+", and plain text always contains ".".
#pragma once

#include "typeref/cpu.h"

#include <cstdint>

namespace quibex {

// Write the text of a finite value at dst; return the pointer past its last
// byte. Touch at most 24 (double) or 17 (single) bytes from dst.
uint8_t* write_f64_shortest(uint8_t* dst, double v) noexcept;
uint8_t* write_f32_shortest(uint8_t* dst, float v) noexcept;

// Exact widening of an IEEE half-precision word: infinities keep their sign,
// a NaN becomes the quiet NaN of the same sign with the fraction shifted up.
// The two variants give the same bits for every half.
[[gnu::target("f16c")]] float half_to_single_f16c(uint16_t h) noexcept;
float half_to_single_soft(uint16_t h) noexcept;

inline float half_to_single(uint16_t h) noexcept {
  return (cpu_features() & CPU_F16C) ? half_to_single_f16c(h) : half_to_single_soft(h);
}

}  // namespace quibex
