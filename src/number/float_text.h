// Shortest round-trip text of binary floating-point values.
#pragma once

#include <cstdint>

namespace quibex {

// Write the text of a finite value at dst; return the pointer past its last
// byte. Touch at most 24 (double) or 17 (single) bytes from dst.
uint8_t* write_f64_shortest(uint8_t* dst, double v) noexcept;
uint8_t* write_f32_shortest(uint8_t* dst, float v) noexcept;

// Exact widening of an IEEE half-precision word.
float half_to_single(uint16_t h) noexcept;

}  // namespace quibex
