// Eight decimal digits at a time: the group conversion shared by the
// integer and floating-point writers, and the 16-byte digit blocks they
// lay out: the portable variant on two 64-bit words, SSE2 on x86-64 and
// NEON on ARM64, which the writers use there. All give the same bytes.
#pragma once

#include "typeref/cpu.h"
#include "word_bytes.h"

#if QUIBEX_X86
#include <emmintrin.h>
#elif QUIBEX_NEON
#include <arm_neon.h>
#endif

#include <cstdint>
#include <cstring>

namespace quibex::digit_groups {

// Byte masks for a point after e + 1 digits, indexed by e (0 to 15): the
// bytes that stay, the bytes that move up by one, and the point itself.
struct PointMasks {
  alignas(16) uint8_t stay[16][16];
  alignas(16) uint8_t move[16][16];
  alignas(16) uint8_t point[16][16];
};
inline constexpr PointMasks kPointMasks = [] {
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

namespace portable {

using word_bytes::load_le64;
using word_bytes::store_le64;

// Sixteen bytes of text as two words, byte k of each at bits 8k.
struct Block {
  uint64_t lo, hi;
};

// The eight ASCII digits of x < 10^8, most significant in byte 0, by
// splitting lanes of one word: two 32-bit halves below 10^4, then four
// 16-bit quarters below 100, then eight digits. 10486 = ceil(2^20 / 100) and
// 103 = ceil(2^10 / 10) divide exactly below 10^4 and 100 (checked over
// all groups); no lane's product reaches the next lane.
constexpr uint64_t ascii_word(uint32_t x) noexcept {
  uint64_t v = (x / 10000) | (uint64_t{x % 10000} << 32);
  const uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;
  v = hundreds | ((v - hundreds * 100) << 16);
  const uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;
  v = tens | ((v - tens * 10) << 8);
  return v | 0x3030303030303030;
}
static_assert(ascii_word(12345678) == 0x3837363534333231 && ascii_word(99999999) == 0x3939393939393939);

inline Block ascii16(uint32_t a, uint32_t b) noexcept { return {ascii_word(a), ascii_word(b)}; }
inline Block ascii8(uint32_t x, uint32_t tail = 0) noexcept {
  return {ascii_word(x), uint64_t{0x3030303030303030} + tail};
}

inline void store16(uint8_t* p, Block v) noexcept {
  store_le64(p, v.lo);
  store_le64(p + 8, v.hi);
}
inline void store8(uint8_t* p, Block v) noexcept { store_le64(p, v.lo); }
inline uint8_t first_byte(Block v) noexcept { return static_cast<uint8_t>(v.lo); }
inline uint8_t last_byte(Block v) noexcept { return static_cast<uint8_t>(v.hi >> 56); }

// Bit k set where byte k of the word is not '0'. The high bit of each byte
// of `flags` is set where the byte differs from '0' (no carry crosses a
// byte); the multiply gathers bit 8k to bit 56 + k.
constexpr uint32_t nonzero_digits_word(uint64_t w) noexcept {
  const uint64_t x = w ^ 0x3030303030303030;
  const uint64_t flags = (((x & 0x7F7F7F7F7F7F7F7F) + 0x7F7F7F7F7F7F7F7F) | x) & 0x8080808080808080;
  return static_cast<uint32_t>(((flags >> 7) * 0x0102040810204080) >> 56);
}
static_assert(nonzero_digits_word(0x3030303030303030) == 0 && nonzero_digits_word(0x3130303030303031) == 0x81);
static_assert(nonzero_digits_word(0xB0B0B0B0B0B0B0B0) == 0xFF && nonzero_digits_word(0x3030303030300030) == 0x02);

inline uint32_t nonzero_digits(Block digits) noexcept {
  return nonzero_digits_word(digits.lo) | nonzero_digits_word(digits.hi) << 8;
}

inline Block insert_point(Block digits, int e) noexcept {
  const auto mask = [e](const uint8_t (&rows)[16][16]) { return Block{load_le64(rows[e]), load_le64(rows[e] + 8)}; };
  const Block stay = mask(kPointMasks.stay), move = mask(kPointMasks.move), point = mask(kPointMasks.point);
  const Block up = {digits.lo << 8, (digits.hi << 8) | (digits.lo >> 56)};
  return {(stay.lo & digits.lo) | (move.lo & up.lo) | point.lo, (stay.hi & digits.hi) | (move.hi & up.hi) | point.hi};
}

}  // namespace portable

#if QUIBEX_X86
namespace sse2 {

// Sixteen bytes of text, first byte in the lowest lane.
using Block = __m128i;

// The digits (values 0-9) of two numbers below 10^4, four lanes each, most
// significant first, from `spread`: four times the first number in 16-bit
// lanes 0-3 and four times the second in lanes 4-7. Each lane is divided by
// 1000, 100, 10 or 1 at once (the SSE2 method of Wojciech Mula); subtracting
// ten times the quotient of the lane before leaves one digit per lane.
inline __m128i digit_lanes(__m128i spread) noexcept {
  // Lane quotient = ((4y * m) >> 16) * 2^s >> 16, that is y*m >> (30 - s):
  //   y/1000 = y*8389 >> 23, y/100 = y*5243 >> 19, y/10 = y*13108 >> 17,
  //   y/1 = y*32768 >> 15; each exact for y < 10^4 (checked over all groups).
  const __m128i divisors = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
  const __m128i scales = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768);
  // [a, ab, abc, abcd, e, ef, efg, efgh] for the numbers abcd and efgh.
  const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(spread, divisors), scales);
  // Ten times the prefix one lane lower, zero at the first lane of each number.
  const __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16);
  return _mm_sub_epi16(prefixes, tens);
}

// Four times the halves below 10^4 of the numbers in the two 64-bit lanes of
// x (each below 10^8), as 32-bit lanes [a1, b1, a0, b0] for x = [a, b] and
// a = a1 * 10^4 + a0. No division: 0xD1B71759 = ceil(2^45 / 10^4), and
// (x * 0xD1B71759) >> 45 == x / 10^4 for every 32-bit x.
inline __m128i quarters(__m128i x) noexcept {
  const __m128i high = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
  const __m128i low = _mm_sub_epi32(x, _mm_mul_epu32(high, _mm_set1_epi32(10000)));
  const __m128 halves = _mm_shuffle_ps(_mm_castsi128_ps(high), _mm_castsi128_ps(low), _MM_SHUFFLE(2, 0, 2, 0));
  // The factor 4 lets the divisors of digit_lanes keep 16 bits.
  return _mm_slli_epi32(_mm_castps_si128(halves), 2);
}

// The ASCII digits of a and b (each below 10^8), a's eight first. Both
// split at once; each half is spread over four 16-bit lanes by one low and
// one high word shuffle.
inline Block ascii16(uint32_t a, uint32_t b) noexcept {
  const __m128i q = quarters(_mm_unpacklo_epi64(_mm_cvtsi32_si128(static_cast<int>(a)),
                                                _mm_cvtsi32_si128(static_cast<int>(b))));
  // 16-bit lane 0 of q holds 4a1, lane 2 4b1, lane 4 4a0, lane 6 4b0.
  const __m128i first = _mm_shufflehi_epi16(_mm_shufflelo_epi16(q, _MM_SHUFFLE(0, 0, 0, 0)), _MM_SHUFFLE(0, 0, 0, 0));
  const __m128i second = _mm_shufflehi_epi16(_mm_shufflelo_epi16(q, _MM_SHUFFLE(2, 2, 2, 2)), _MM_SHUFFLE(2, 2, 2, 2));
  return _mm_add_epi8(_mm_packus_epi16(digit_lanes(first), digit_lanes(second)), _mm_set1_epi8('0'));
}

// The eight ASCII digits of x < 10^8 in the low half; the high half holds
// the digit `tail` (0-9) followed by seven '0'.
inline Block ascii8(uint32_t x, uint32_t tail = 0) noexcept {
  const __m128i q = quarters(_mm_cvtsi32_si128(static_cast<int>(x)));
  const __m128i spread = _mm_shufflehi_epi16(_mm_shufflelo_epi16(q, _MM_SHUFFLE(0, 0, 0, 0)), _MM_SHUFFLE(0, 0, 0, 0));
  const __m128i tail_lane = _mm_cvtsi32_si128(static_cast<int>(tail));
  return _mm_add_epi8(_mm_packus_epi16(digit_lanes(spread), tail_lane), _mm_set1_epi8('0'));
}

inline void store16(uint8_t* p, Block v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void store8(uint8_t* p, Block v) noexcept { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline uint8_t first_byte(Block v) noexcept { return static_cast<uint8_t>(_mm_cvtsi128_si32(v)); }
inline uint8_t last_byte(Block v) noexcept { return static_cast<uint8_t>(_mm_extract_epi16(v, 7) >> 8); }

// Bit i set where byte i is not '0'.
inline uint32_t nonzero_digits(Block digits) noexcept {
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0')))) & 0xFFFF;
}

// `digits` with '.' after its first e + 1 bytes (e from 0 to 15) and the
// bytes after that moved up by one; the last byte falls off.
inline Block insert_point(Block digits, int e) noexcept {
  const auto mask = [e](const uint8_t (&rows)[16][16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(rows[e]));
  };
  const __m128i stay = _mm_and_si128(mask(kPointMasks.stay), digits);
  const __m128i moved = _mm_and_si128(mask(kPointMasks.move), _mm_slli_si128(digits, 1));
  return _mm_or_si128(_mm_or_si128(stay, moved), mask(kPointMasks.point));
}

}  // namespace sse2
using namespace sse2;
#elif QUIBEX_NEON
namespace neon {

// Sixteen bytes of text, first byte in lane 0.
using Block = uint8x16_t;

// The digits (values 0-9) of four numbers below 10^4, four bytes each, most
// significant first. Each 32-bit lane splits into its quotient and remainder
// by 100 in two 16-bit lanes, and each of those into its tens and units in
// two bytes; 5243 = ceil(2^19 / 100) and 103 = ceil(2^10 / 10) divide
// exactly below 10^4 and 100 (checked over all groups).
inline uint8x16_t digit_bytes(uint32x4_t quads) noexcept {
  const uint32x4_t hundreds = vshrq_n_u32(vmulq_n_u32(quads, 5243), 19);
  const uint16x8_t pairs = vreinterpretq_u16_u32(vsliq_n_u32(hundreds, vmlsq_n_u32(quads, hundreds, 100), 16));
  const uint16x8_t tens = vshrq_n_u16(vmulq_n_u16(pairs, 103), 10);
  return vreinterpretq_u8_u16(vsliq_n_u16(tens, vmlsq_n_u16(pairs, tens, 10), 8));
}

// The ASCII digits of a and b (each below 10^8), a's eight first. Both
// split into halves below 10^4 at once: 0xD1B71759 = ceil(2^45 / 10^4), and
// (x * 0xD1B71759) >> 45 == x / 10^4 for every 32-bit x.
inline Block ascii16(uint32_t a, uint32_t b) noexcept {
  const uint32x2_t x = vset_lane_u32(b, vdup_n_u32(a), 1);
  const uint64x2_t high = vshrq_n_u64(vmull_n_u32(x, 0xD1B71759u), 45);
  const uint32x4_t wide = vreinterpretq_u32_u64(vmovl_u32(x));
  const uint32x4_t low = vmlsq_n_u32(wide, vreinterpretq_u32_u64(high), 10000);
  const uint32x4_t quads = vreinterpretq_u32_u64(vsliq_n_u64(high, vreinterpretq_u64_u32(low), 32));
  return vaddq_u8(digit_bytes(quads), vdupq_n_u8('0'));
}

// The eight ASCII digits of x < 10^8 in the low half; the high half holds
// the digit `tail` (0-9) followed by seven '0' (the digits of tail * 1000
// and of 0).
inline Block ascii8(uint32_t x, uint32_t tail = 0) noexcept {
  const uint64_t halves = (x / 10000) | uint64_t{x % 10000} << 32;
  const uint32x4_t quads = vreinterpretq_u32_u64(vcombine_u64(vcreate_u64(halves), vcreate_u64(tail * 1000)));
  return vaddq_u8(digit_bytes(quads), vdupq_n_u8('0'));
}

inline void store16(uint8_t* p, Block v) noexcept { vst1q_u8(p, v); }
inline void store8(uint8_t* p, Block v) noexcept { vst1_u8(p, vget_low_u8(v)); }
inline uint8_t first_byte(Block v) noexcept { return vgetq_lane_u8(v, 0); }
inline uint8_t last_byte(Block v) noexcept { return vgetq_lane_u8(v, 15); }

// Bit i set where byte i is not '0': each such byte keeps its bit of the
// byte's place in its half, and three pairwise additions gather the halves
// into the low 16 bits.
inline uint32_t nonzero_digits(Block digits) noexcept {
  alignas(16) static constexpr uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t bits = vbicq_u8(vld1q_u8(kBits), vceqq_u8(digits, vdupq_n_u8('0')));
  bits = vpaddq_u8(bits, bits);
  bits = vpaddq_u8(bits, bits);
  bits = vpaddq_u8(bits, bits);
  return vgetq_lane_u16(vreinterpretq_u16_u8(bits), 0);
}

// `digits` with '.' after its first e + 1 bytes (e from 0 to 15) and the
// bytes after that moved up by one; the last byte falls off.
inline Block insert_point(Block digits, int e) noexcept {
  const auto mask = [e](const uint8_t (&rows)[16][16]) { return vld1q_u8(rows[e]); };
  const uint8x16_t stay = vandq_u8(mask(kPointMasks.stay), digits);
  const uint8x16_t moved = vandq_u8(mask(kPointMasks.move), vextq_u8(vdupq_n_u8(0), digits, 15));
  return vorrq_u8(vorrq_u8(stay, moved), mask(kPointMasks.point));
}

}  // namespace neon
using namespace neon;
#else
using namespace portable;
#endif

}  // namespace quibex::digit_groups
