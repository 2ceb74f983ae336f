// Eight decimal digits at a time with SSE2: the group conversion shared by
// the integer and floating-point writers.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace quibex::digit_groups {

// The eight decimal digits of x < 10^8, most significant first, as values
// 0-9 in the eight 16-bit lanes. No division: x splits into two halves below
// 10^4 by a 32-bit multiply-high, and each half is spread over four lanes
// that are divided by 1000, 100, 10 and 1 at once (the SSE2 method of
// Wojciech Mula); subtracting ten times the quotient of the lane before
// leaves one digit per lane.
inline __m128i digit_lanes(uint32_t x) noexcept {
  // 0xD1B71759 = ceil(2^45 / 10^4): (x * 0xD1B71759) >> 45 == x / 10^4 for every 32-bit x.
  const __m128i v = _mm_cvtsi32_si128(static_cast<int>(x));
  const __m128i hi = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
  const __m128i lo = _mm_sub_epi32(v, _mm_mul_epu32(hi, _mm_set1_epi32(10000)));
  // [4hi, 4lo] in lanes 0 and 1; the factor 4 lets the divisors below keep 16 bits.
  const __m128i halves = _mm_slli_epi64(_mm_unpacklo_epi16(hi, lo), 2);
  const __m128i doubled = _mm_unpacklo_epi16(halves, halves);
  const __m128i spread = _mm_unpacklo_epi32(doubled, doubled);  // [4hi x4, 4lo x4]
  // Lane quotient = ((4y * m) >> 16) * 2^s >> 16, that is y*m >> (30 - s):
  //   y/1000 = y*8389 >> 23, y/100 = y*5243 >> 19, y/10 = y*13108 >> 17,
  //   y/1 = y*32768 >> 15; each exact for y < 10^4 (checked over all groups).
  const __m128i divisors = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
  const __m128i scales = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768);
  // [a, ab, abc, abcd, e, ef, efg, efgh] for x = abcdefgh.
  const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(spread, divisors), scales);
  // Ten times the prefix one lane lower, zero at the first lane of each half.
  const __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16);
  return _mm_sub_epi16(prefixes, tens);
}

// The ASCII digits of a and b (each below 10^8), a's eight first.
inline __m128i ascii16(uint32_t a, uint32_t b) noexcept {
  return _mm_add_epi8(_mm_packus_epi16(digit_lanes(a), digit_lanes(b)), _mm_set1_epi8('0'));
}

// The eight ASCII digits of x < 10^8 in the low half; the high half holds
// the digit `tail` (0-9) followed by seven '0'.
inline __m128i ascii8(uint32_t x, uint32_t tail = 0) noexcept {
  const __m128i tail_lane = _mm_cvtsi32_si128(static_cast<int>(tail));
  return _mm_add_epi8(_mm_packus_epi16(digit_lanes(x), tail_lane), _mm_set1_epi8('0'));
}

}  // namespace quibex::digit_groups
