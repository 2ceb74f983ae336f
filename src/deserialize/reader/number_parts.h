// Pieces of number reading for the short path inlined in the reader (some
// also used by the general path): digit runs read eight bytes at a time,
// exact powers of ten, the one-product Eisel-Lemire step, value setters.
#pragma once

#include "deserialize/reader/doc.h"
#include "deserialize/reader/pow5.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quibex::number_parts {

// Indexed by k: 10^k, exact in binary64.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr uint64_t kInfBits = 0x7FF0000000000000u;
constexpr uint64_t kPow2_63 = uint64_t{1} << 63;

[[gnu::always_inline]] inline uint64_t load64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The value of eight digit values 0..9 (first byte lowest, most
// significant), combined in pairs, then fours, then the whole, by
// multiplications.
[[gnu::always_inline]] inline uint32_t combine_digits8(uint64_t v) noexcept {
  v = v * 10 + (v >> 8);  // each even byte: the two-digit value of its pair
  v = (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
       (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
      32;
  return static_cast<uint32_t>(v);
}

// Indexed by n: 10^n.
constexpr uint64_t kPow10U64[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The leading digits of the eight bytes at p: how many (0 to 8) and their value.
struct DigitRun {
  unsigned count;
  uint64_t value;
};

[[gnu::always_inline]] inline DigitRun digit_run8(const uint8_t* p) noexcept {
  // Digits become their values 0..9; a byte of 10 or more is not a digit,
  // which adding 0x76 (or the byte itself) shows in its top bit. A carry out
  // of a byte only reaches bytes after a non-digit.
  const uint64_t x = load64(p) ^ 0x3030303030303030u;
  const uint64_t stops = ((x + 0x7676767676767676u) | x) & 0x8080808080808080u;
  const unsigned count = stops == 0 ? 8 : static_cast<unsigned>(std::countr_zero(stops)) / 8;
  // The run moved to the top bytes, zeros (leading zero digits) below it;
  // the move is two shifts of less than 64 bits, so that no run needs a
  // branch (an empty one is shifted out whole).
  const unsigned half_shift = 32 - 4 * count;
  return {count, combine_digits8((x << half_shift) << half_shift)};
}

// Value of the digit c, or a value above 9 when c is not a digit.
[[gnu::always_inline]] inline uint64_t digit_value(uint8_t c) noexcept { return static_cast<uint8_t>(c - '0'); }

// The short form of eisel_lemire for the common case: one 64 × 64-bit
// product, a normal finite result. Returns the bits of the binary64, or 0
// (the bits of no normal number) when that cannot decide: the result is
// subnormal, infinite or near the smallest normal, or the rounding needs
// the low half of the power.
[[gnu::always_inline]] inline uint64_t eisel_lemire_normal(uint64_t w, int q) noexcept {
  const int lz = std::countl_zero(w);
  const uint64_t wn = w << lz;
  const U128Words t = pow5_words(q);
  // a1 = wn × T_hi is at least 2^126, and the a of eisel_lemire lies in
  // [a1, a1 + 2^64), so r lies in [a1, a1 + 2^64 + 1): less than one unit of
  // the high word (plus one) above a1.
  const uint64_t hi = static_cast<uint64_t>((static_cast<unsigned __int128>(wn) * t.hi) >> 64);
  const int upper = static_cast<int>(hi >> 63);  // whether bit 127 is set
  // 53 bits are kept from bit 126 + upper down. Without bit 127 the word is
  // moved up one bit, so that the kept bits and the rest always split at
  // bit 11 and no shift depends on the value.
  const uint64_t top = hi << (upper ^ 1);
  const int e = floor_log2_pow5(q) - 127 + q - lz + 64 + 64 + 10 + upper;  // exponent of the kept bits' lowest
  if (e <= -1074 || e >= 2046 - 1075) return 0;
  constexpr uint64_t kHalf = uint64_t{1} << 10;
  uint64_t m = top >> 11;
  const uint64_t rem = top & (2 * kHalf - 1);
  // With rem <= half - 2 units of the high word the whole range of r rounds
  // down to m; with rem >= half + 1 unit it rounds up (a carry out of rem
  // gives the same m + 1). A unit is 1, or 2 when the word was moved up, so
  // half - 2, half - 1 and half are left open.
  if (rem - (kHalf - 2) <= 2) return 0;
  m += rem > kHalf;
  // m + 1 may reach 2^53: the mantissa field then overflows into the
  // exponent field, which is the correctly rounded next power of two.
  return (static_cast<uint64_t>(e + 1075) << 52) + (m - (uint64_t{1} << 52));
}

[[gnu::always_inline]] inline void set_unsigned(DocValue* v, uint64_t u) noexcept {
  v->tag = kTagUnsigned;
  v->payload.u = u;
}
[[gnu::always_inline]] inline void set_signed_negated(DocValue* v, uint64_t magnitude) noexcept {  // magnitude <= 2^63
  v->tag = kTagSigned;
  v->payload.i = static_cast<int64_t>(0 - magnitude);
}
[[gnu::always_inline]] inline void set_real(DocValue* v, double d) noexcept {
  v->tag = kTagReal;
  v->payload.f = d;
}

// An integer read as its magnitude w and sign: Unsigned, Signed down to
// -2^63, and Real below that.
[[gnu::always_inline]] inline void set_integer(DocValue* v, uint64_t w, bool negative) noexcept {
  if (!negative) {
    set_unsigned(v, w);
  } else if (w <= kPow2_63) {
    set_signed_negated(v, w);
  } else {
    set_real(v, -static_cast<double>(w));
  }
}

}  // namespace quibex::number_parts
