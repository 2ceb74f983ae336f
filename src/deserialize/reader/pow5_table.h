// Powers of five as normalised 128-bit mantissas, for the Eisel–Lemire
// product of the number reader.
#pragma once

#include <cstdint>
#include <iterator>

namespace quibex {

struct U128Words {
  uint64_t hi, lo;
};

inline constexpr int kPow5MinQ = -343;
inline constexpr int kPow5MaxQ = 308;

// Indexed by q - kPow5MinQ: T, the truncated normalised 128-bit mantissa of
// 5^q, with 5^q = (T + d) × 2^(floor_log2_pow5(q) - 127) and 0 <= d < 1.
inline constexpr U128Words kPow5[] = {
#include "deserialize/reader/pow5_table.inc"
};
static_assert(std::size(kPow5) == kPow5MaxQ - kPow5MinQ + 1);

// floor(log2(5^q)) for kPow5MinQ <= q <= kPow5MaxQ; 152170 = floor(log2(5) × 2^16),
// exact over that range (checked by a unit test).
constexpr int floor_log2_pow5(int q) noexcept { return (q * 152170) >> 16; }

}  // namespace quibex
