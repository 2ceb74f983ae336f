// Shortest round-trip text of binary floating-point values.
//
// The digits are the fewest that read back to the same value at its own
// width, nearest to it, ties to an even last digit. They are laid out in
// plain notation for decimal exponents -5..15 (double) or -6..12 (single)
// and in exponent notation otherwise: 0.00001, 123.456, 1e+16, 1.5e-7. The
// text never has a leading "+", and plain text always contains ".".
#pragma once

#include "number/float_digits.h"
#include "number/float_layout.h"
#include "typeref/cpu.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quibex {

namespace detail {
// Shortest digits of the doubles Dragonbox does not take (the lowest value
// of a binade, whose interval is lopsided, and the tiniest exponents), by
// Schubfach; out of line, as they are rare.
[[gnu::cold]] Digits17 f64_digits_schubfach(uint64_t c, int q, bool normal) noexcept;
}  // namespace detail

// Write the text of a finite value at dst; return the pointer past its last
// byte. Touch at most 24 (double) or 17 (single) bytes from dst. The double
// writer is inline: the serialiser's item loops call it for every float.
[[gnu::always_inline]] inline uint8_t* write_f64_shortest(uint8_t* dst, double v) noexcept {
  using namespace detail;
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  *dst = '-';
  uint8_t* q = dst + (bits >> 63);  // the sign stays only when set
  if ((bits << 1) == 0) {
    std::memcpy(q, "0.0", 3);
    return q + 3;
  }
  const uint64_t fraction = bits & (kF64HiddenBit - 1);
  const int field = static_cast<int>(bits >> 52) & 0x7FF;
  Digits17 d;
  if (field == 0) [[unlikely]] {
    // Subnormal: neither an integer nor taken by Dragonbox. Tested apart,
    // so that the common case's exponent is a plain difference, kept in a
    // register.
    d = f64_digits_schubfach(fraction, kF64MinQ, false);
  } else {
    const uint64_t c = fraction | kF64HiddenBit;
    const int binary_exponent = field - 1075;
    // An integer in [1, 2^52) is its own shortest digit string: its
    // neighbours are at most 1/2 away, so no other integer reads back as it.
    if (binary_exponent < 0 && binary_exponent > -53 && (c << (64 + binary_exponent)) == 0) {
      d = split17(pad<17>({c >> -binary_exponent, 0}));
    } else if (fraction != 0 && binary_exponent >= kDragonboxMinQ) [[likely]] {
      // Dragonbox needs a symmetric interval: not the lower end of a binade.
      d = f64_digits_dragonbox(c, binary_exponent);
    } else {
      d = f64_digits_schubfach(c, binary_exponent, true);
    }
  }
  return format_f64(q, d);
}

uint8_t* write_f32_shortest(uint8_t* dst, float v) noexcept;

// Exact widening of an IEEE half-precision word: infinities keep their sign,
// a NaN becomes the quiet NaN of the same sign with the fraction shifted up.
// The two variants give the same bits for every half.
float half_to_single_soft(uint16_t h) noexcept;
#if QUIBEX_X86
[[QUIBEX_TARGET_F16C]] float half_to_single_f16c(uint16_t h) noexcept;
#endif

inline float half_to_single(uint16_t h) noexcept {
#if QUIBEX_X86
  if (cpu_has(kNeedsF16c)) return half_to_single_f16c(h);
#endif
  return half_to_single_soft(h);
}

}  // namespace quibex
