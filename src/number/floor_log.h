// Floor logarithms by fixed-point multiplication, used to pick the power of
// ten that scales a binary value in the shortest-digit search. Checked for
// every exponent from -1100 to 1100, which covers all the writers use.
#pragma once

#include <cstdint>

namespace quibex {

// floor(e * log10(2)); 661971961083 / 2^41 approximates log10(2).
constexpr int floor_log10_pow2(int e) noexcept { return static_cast<int>((int64_t{e} * 661971961083) >> 41); }

// floor(e * log10(2) + log10(3/4)); 274743187321 / 2^41 approximates -log10(3/4).
constexpr int floor_log10_three_quarters_pow2(int e) noexcept {
  return static_cast<int>((int64_t{e} * 661971961083 - 274743187321) >> 41);
}

// floor(e * log2(10)); 913124641741 / 2^38 approximates log2(10).
constexpr int floor_log2_pow10(int e) noexcept { return static_cast<int>((int64_t{e} * 913124641741) >> 38); }

}  // namespace quibex
