// Powers of ten for the shortest-digit writers of floating-point text and
// for the number reader.
#pragma once

#include <cstdint>

namespace quibex::detail {

inline constexpr int kPow10MinExponent = -343;
inline constexpr int kPow10MaxExponent = 324;

// Indexed by k - kPow10MinExponent: 10^k as the upper 128 bits of its
// significand normalised to bit 127, rounded down, {high word, low word}.
inline constexpr uint64_t POW10_128[kPow10MaxExponent - kPow10MinExponent + 1][2] = {
#include "number/pow10_128.inc"
};
static_assert(POW10_128[0 - kPow10MinExponent][0] == uint64_t{1} << 63 && POW10_128[0 - kPow10MinExponent][1] == 0);
static_assert(POW10_128[1 - kPow10MinExponent][0] == uint64_t{10} << 60);

// Indexed by n for n = 0..19: 10^n.
inline constexpr auto kPow10U64 = [] {
  struct {
    uint64_t values[20];
  } t{};
  t.values[0] = 1;
  for (int n = 1; n < 20; ++n) t.values[n] = t.values[n - 1] * 10;
  return t;
}();
static_assert(kPow10U64.values[19] == 10000000000000000000u);

}  // namespace quibex::detail
