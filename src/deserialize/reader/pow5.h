// Powers of five as normalised 128-bit mantissas, for the Eisel–Lemire
// product of the number reader: rows of the shared power-of-ten table.
#pragma once

#include "number/pow10_table.h"

#include <cstdint>

namespace quibex {

struct U128Words {
  uint64_t hi, lo;
};

inline constexpr int kPow5MinQ = -343;
inline constexpr int kPow5MaxQ = 308;
static_assert(kPow5MinQ >= detail::kPow10MinExponent && kPow5MaxQ <= detail::kPow10MaxExponent);

// T, the truncated normalised 128-bit mantissa of 5^q for kPow5MinQ <= q <=
// kPow5MaxQ, with 5^q = (T + d) × 2^(floor_log2_pow5(q) - 127) and
// 0 <= d < 1. As 10^q = 5^q × 2^q, it is the row of 10^q.
inline U128Words pow5_words(int q) noexcept {
  const uint64_t* row = detail::POW10_128[q - detail::kPow10MinExponent];
  return {row[0], row[1]};
}

// floor(log2(5^q)) for kPow5MinQ <= q <= kPow5MaxQ; 152170 = floor(log2(5) × 2^16),
// exact over that range (checked by a unit test).
constexpr int floor_log2_pow5(int q) noexcept { return (q * 152170) >> 16; }

}  // namespace quibex
