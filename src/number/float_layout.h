// The plain and exponent layouts of floating-point text.
#pragma once

#include "number/digit_groups.h"
#include "number/float_digits.h"
#include "number/int_text.h"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace quibex::detail {

// 'e', the sign and |e| without leading zeros (1 to 3 digits).
inline uint8_t* write_exponent(uint8_t* p, int e) noexcept {
  p[0] = 'e';
  p[1] = e < 0 ? '-' : '+';
  const uint32_t a = static_cast<uint32_t>(e < 0 ? -e : e);
  if (a < 10) {
    p[2] = static_cast<uint8_t>('0' + a);
    return p + 3;
  }
  if (a < 100) {
    detail::put_pair(p + 2, a);
    return p + 4;
  }
  p[2] = static_cast<uint8_t>('0' + a / 100);
  detail::put_pair(p + 3, a % 100);
  return p + 5;
}

// Byte masks for a point after e + 1 digits, indexed by e (0 to 15): the
// bytes that stay, the bytes that move up by one, and the point itself.
struct PointMasks {
  alignas(16) uint8_t stay[16][16];
  alignas(16) uint8_t move[16][16];
  alignas(16) uint8_t point[16][16];
};
constexpr PointMasks kPointMasks = [] {
  PointMasks m{};
  for (int e = 0; e < 16; ++e) {
    for (int i = 0; i < 16; ++i) {
      m.stay[e][i] = i <= e ? 0xFF : 0;
      m.move[e][i] = i > e + 1 ? 0xFF : 0;
      m.point[e][i] = i == e + 1 ? '.' : 0;
    }
  }
  return m;
}();
static_assert(kPointMasks.point[0][1] == '.' && kPointMasks.stay[15][15] == 0xFF);
static_assert(kPointMasks.move[13][15] == 0xFF && kPointMasks.move[14][15] == 0);

// `digits` with '.' after its first e + 1 bytes (e from 0 to 15) and the
// bytes after that moved up by one; the last byte falls off.
inline __m128i insert_point(__m128i digits, int e) noexcept {
  const auto mask = [e](const uint8_t (&rows)[16][16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(rows[e]));
  };
  const __m128i stay = _mm_and_si128(mask(kPointMasks.stay), digits);
  const __m128i moved = _mm_and_si128(mask(kPointMasks.move), _mm_slli_si128(digits, 1));
  return _mm_or_si128(_mm_or_si128(stay, moved), mask(kPointMasks.point));
}

// Bit i set where byte i is not '0'.
inline uint32_t nonzero_digits(__m128i digits) noexcept {
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0')))) & 0xFFFF;
}

inline void store16(uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void store8(uint8_t* p, __m128i v) noexcept { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// The text of d's 17 digits at q. Stores stay inside
// q[0, 23): the longest texts, 0.0000ddddddddddddddddd and
// d.ddddddddddddddddde-308, are 23 bytes.
[[gnu::always_inline]] inline uint8_t* format_f64(uint8_t* q, Digits17 d) noexcept {
  const int e = d.exponent;
  const __m128i head = digit_groups::ascii16(static_cast<uint32_t>(d.head / 100000000),
                                             static_cast<uint32_t>(d.head % 100000000));
  const uint8_t last = static_cast<uint8_t>('0' + d.last);
  // The first digit is never '0': the mask is never zero, and no branch for
  // a zero mask is needed.
  const int n = 32 - __builtin_clz(nonzero_digits(head) | (static_cast<uint32_t>(last != '0') << 16));
  if (e < -5 || e > 15) {
    store16(q + 1, head);
    q[0] = static_cast<uint8_t>(_mm_cvtsi128_si32(head));
    q[1] = '.';
    q[17] = last;
    return write_exponent(q + n + (n > 1), e);  // over the point when there is one digit
  }
  if (e < 0) {
    std::memcpy(q, "0.000000", 8);
    store16(q + 1 - e, head);
    q[17 - e] = last;
    return q + 1 - e + n;
  }
  if (e >= n - 1) {  // integral: the padding zeros supply the digits up to the point
    store16(q, head);
    q[e + 1] = '.';
    q[e + 2] = '0';
    return q + e + 3;
  }
  store16(q, insert_point(head, e));
  q[16] = e == 15 ? '.' : static_cast<uint8_t>(_mm_extract_epi16(head, 7) >> 8);
  q[17] = last;
  return q + n + 1;
}

}  // namespace quibex::detail
