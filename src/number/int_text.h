// Decimal text of unsigned machine integers.
//
// The digit count is found from magnitude thresholds (10, 100, 10^4, 10^8,
// 10^16), never by counting first; leading groups of up to four digits take
// two characters per table access, and groups of eight go through one
// vector sequence. No loop of divisions by 10.
#pragma once

#include "number/digit_groups.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quibex {

namespace detail {
struct DigitPairText {
  char bytes[200];
};
constexpr DigitPairText make_digit_pairs() noexcept {
  DigitPairText t{};
  for (int k = 0; k < 100; ++k) {
    t.bytes[2 * k] = static_cast<char>('0' + k / 10);
    t.bytes[2 * k + 1] = static_cast<char>('0' + k % 10);
  }
  return t;
}
inline constexpr DigitPairText kDigitPairText = make_digit_pairs();
}  // namespace detail

// Indexed by 2k for k in 0..99: the two characters of k, "00" to "99".
inline constexpr const char (&DIGIT_PAIRS)[200] = detail::kDigitPairText.bytes;
static_assert(DIGIT_PAIRS[0] == '0' && DIGIT_PAIRS[15] == '7' && DIGIT_PAIRS[198] == '9');

namespace detail {

inline void put_pair(uint8_t* dst, uint32_t k) noexcept { std::memcpy(dst, &DIGIT_PAIRS[2 * k], 2); }

// v < 10^4 without leading zeros; returns 1 to 4.
inline size_t write_below_1e4(uint32_t v, uint8_t* dst) noexcept {
  if (v < 10) {
    *dst = static_cast<uint8_t>('0' + v);
    return 1;
  }
  if (v < 100) {
    put_pair(dst, v);
    return 2;
  }
  const uint32_t hi = v / 100;
  const uint32_t lo = v % 100;
  if (v < 1000) {
    *dst = static_cast<uint8_t>('0' + hi);
    put_pair(dst + 1, lo);
    return 3;
  }
  put_pair(dst, hi);
  put_pair(dst + 2, lo);
  return 4;
}

// v < 10^8 without leading zeros; returns 1 to 8.
inline size_t write_below_1e8(uint32_t v, uint8_t* dst) noexcept {
  if (v < 10000) return write_below_1e4(v, dst);
  const uint32_t lo = v % 10000;
  const size_t n = write_below_1e4(v / 10000, dst);
  put_pair(dst + n, lo / 100);
  put_pair(dst + n + 2, lo % 100);
  return n + 4;
}

// v < 10^8 as exactly eight characters, with leading zeros.
inline void write_8_digits(uint32_t v, uint8_t* dst) noexcept {
  digit_groups::store8(dst, digit_groups::ascii8(v));
}

}  // namespace detail

// Writes the digits of v at dst and returns their count (1 to 10). Stores
// exactly the bytes it counts; no sign, no terminator.
inline size_t write_u32_decimal(uint32_t v, uint8_t* dst) noexcept {
  if (v < 100000000) return detail::write_below_1e8(v, dst);
  const uint32_t hi = v / 100000000;  // 1 to 42
  size_t n = 2;
  if (hi < 10) {
    *dst = static_cast<uint8_t>('0' + hi);
    n = 1;
  } else {
    detail::put_pair(dst, hi);
  }
  detail::write_8_digits(v % 100000000, dst + n);
  return n + 8;
}

// The same for a 64-bit value; returns 1 to 20.
inline size_t write_u64_decimal(uint64_t v, uint8_t* dst) noexcept {
  if (v < 100000000) return detail::write_below_1e8(static_cast<uint32_t>(v), dst);
  if (v < 10000000000000000) {
    const size_t n = detail::write_below_1e8(static_cast<uint32_t>(v / 100000000), dst);
    detail::write_8_digits(static_cast<uint32_t>(v % 100000000), dst + n);
    return n + 8;
  }
  // 10^16 and above: at most four leading digits (2^64 / 10^16 < 1845), then
  // sixteen in one store.
  const size_t n = detail::write_below_1e4(static_cast<uint32_t>(v / 10000000000000000), dst);
  const uint64_t rest = v % 10000000000000000;
  digit_groups::store16(dst + n, digit_groups::ascii16(static_cast<uint32_t>(rest / 100000000),
                                                      static_cast<uint32_t>(rest % 100000000)));
  return n + 16;
}

}  // namespace quibex
