#include "deserialize/build_str.h"

#include "word_bytes.h"

#if QUIBEX_X86
#include <immintrin.h>
#elif QUIBEX_NEON
#include <arm_neon.h>
#endif

#include <algorithm>
#include <cstring>

namespace quibex {
namespace {

using word_bytes::kHighBits;

// As a signed byte, every continuation byte (80..BF) is -128..-65 and every
// other byte is greater than -65.
constexpr char kLastContinuation = char(0xBF);

// The narrowest kind that holds the characters of well-formed UTF-8 whose
// largest byte is `max_byte`: a lead byte C4 or above starts U+0100 or more,
// F0 or above U+10000 or more.
constexpr StrShape shape_of(size_t chars, uint8_t max_byte) noexcept {
  const Py_UCS4 maxchar = max_byte < 0x80 ? 127 : max_byte >= 0xF0 ? 0x10FFFF : max_byte >= 0xC4 ? 0xFFFF : 255;
  return {chars, maxchar};
}
static_assert(shape_of(1, 0xC3).maxchar == 255 && shape_of(1, 0xC4).maxchar == 0xFFFF);
static_assert(shape_of(1, 0xEF).maxchar == 0xFFFF && shape_of(1, 0xF0).maxchar == 0x10FFFF);

// Below 32 bytes: a word test for ASCII, the common case, else a byte loop.
StrShape shape_short(const uint8_t* s, size_t n) noexcept {
  uint64_t any = 0;
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    any |= w;
  }
  for (; i < n; ++i) any |= s[i];
  if ((any & kHighBits) == 0) return {n, 127};
  uint8_t max = 0;
  size_t chars = 0;
  for (i = 0; i < n; ++i) {
    max = std::max(max, s[i]);
    chars += (s[i] & 0xC0) != 0x80;
  }
  return shape_of(chars, max);
}

// 16 zero bytes then 16 0xFF bytes: the 16 bytes from offset r select the
// last r lanes of a 16-byte vector; the 64-byte version does the same for
// 32-byte vectors.
alignas(16) constexpr uint8_t kTailMask16[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
alignas(32) constexpr uint8_t kTailMask32[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

StrShape str_shape_portable(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return shape_short(s, n);
  // Continuation bytes are 10xxxxxx: the high bit set, the next one clear.
  // Only the thresholds of shape_of matter, so the bytes at least C4 and F0
  // are flagged instead of the maximum taken.
  uint64_t any = 0, at_least_c4 = 0, at_least_f0 = 0;
  size_t continuations = 0;
  const auto add = [&](uint64_t w) {
    any |= w;
    at_least_c4 |= word_bytes::bytes_at_least(w, 0xC4);
    at_least_f0 |= word_bytes::bytes_at_least(w, 0xF0);
    continuations += static_cast<size_t>(__builtin_popcountll(w & ~(w << 1) & kHighBits));
  };
  size_t i = 0;
  for (; n - i >= 8; i += 8) add(word_bytes::load_le64(s + i));
  // The last 8 bytes again, keeping only the n - i not yet seen (the high
  // ones of the word).
  if (i < n) add(word_bytes::load_le64(s + n - 8) & (~uint64_t{0} << (8 * (8 - (n - i)))));
  const uint8_t max_byte = at_least_f0 ? 0xF0 : at_least_c4 ? 0xC4 : (any & kHighBits) ? 0x80 : 0;
  return shape_of(n - continuations, max_byte);
}

#if QUIBEX_X86
namespace {

inline uint8_t max_byte_16(__m128i m) noexcept {
  m = _mm_max_epu8(m, _mm_srli_si128(m, 8));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
  m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
  return uint8_t(_mm_cvtsi128_si32(m));
}

// Sum of the 16 unsigned bytes.
inline size_t sum_bytes_16(__m128i v) noexcept {
  const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
  return size_t(_mm_cvtsi128_si64(sums)) + size_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

}  // namespace

// Per-lane byte counters are summed before they can overflow.
StrShape str_shape_sse2(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return shape_short(s, n);
  const __m128i limit = _mm_set1_epi8(kLastContinuation);
  __m128i max = _mm_setzero_si128();
  size_t chars = 0, i = 0;
  while (n - i >= 16) {
    __m128i counts = _mm_setzero_si128();
    for (size_t steps = std::min<size_t>((n - i) / 16, 255); steps > 0; --steps, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      max = _mm_max_epu8(max, v);
      counts = _mm_sub_epi8(counts, _mm_cmpgt_epi8(v, limit));
    }
    chars += sum_bytes_16(counts);
  }
  if (i < n) {
    // The last 16 bytes again, counting only the n - i not yet seen.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
    const __m128i fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask16 + (n - i)));
    max = _mm_max_epu8(max, v);
    chars += sum_bytes_16(_mm_sub_epi8(_mm_setzero_si128(), _mm_and_si128(_mm_cmpgt_epi8(v, limit), fresh)));
  }
  return shape_of(chars, max_byte_16(max));
}

// The same on 32-byte registers.
[[QUIBEX_TARGET_AVX2]] StrShape str_shape_avx2(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return shape_short(s, n);
  const __m256i limit = _mm256_set1_epi8(kLastContinuation);
  __m256i max = _mm256_setzero_si256();
  size_t chars = 0, i = 0;
  for (; n - i >= 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    max = _mm256_max_epu8(max, v);
    chars += __builtin_popcount(uint32_t(_mm256_movemask_epi8(_mm256_cmpgt_epi8(v, limit))));
  }
  if (i < n) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + n - 32));
    const __m256i fresh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kTailMask32 + (n - i)));
    max = _mm256_max_epu8(max, v);
    chars += __builtin_popcount(
        uint32_t(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpgt_epi8(v, limit), fresh))));
  }
  const __m128i half = _mm_max_epu8(_mm256_castsi256_si128(max), _mm256_extracti128_si256(max, 1));
  return shape_of(chars, max_byte_16(half));
}
#elif QUIBEX_NEON
// The SSE2 loop on NEON registers; continuation bytes are the signed bytes
// below -64.
StrShape str_shape_neon(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return shape_short(s, n);
  const int8x16_t limit = vdupq_n_s8(kLastContinuation);
  uint8x16_t max = vdupq_n_u8(0);
  size_t chars = 0, i = 0;
  while (n - i >= 16) {
    uint8x16_t counts = vdupq_n_u8(0);
    for (size_t steps = std::min<size_t>((n - i) / 16, 255); steps > 0; --steps, i += 16) {
      const uint8x16_t v = vld1q_u8(s + i);
      max = vmaxq_u8(max, v);
      counts = vsubq_u8(counts, vcgtq_s8(vreinterpretq_s8_u8(v), limit));
    }
    chars += vaddlvq_u8(counts);
  }
  if (i < n) {
    const uint8x16_t v = vld1q_u8(s + n - 16);
    const uint8x16_t fresh = vld1q_u8(kTailMask16 + (n - i));
    max = vmaxq_u8(max, v);
    chars += vaddvq_u8(vandq_u8(vcgtq_s8(vreinterpretq_s8_u8(v), limit), vandq_u8(fresh, vdupq_n_u8(1))));
  }
  return shape_of(chars, vmaxvq_u8(max));
}
#endif

namespace {

#if QUIBEX_X86
// Stores 16 ASCII bytes as 16 characters of type Ch.
inline void store_widened(uint8_t* dst, __m128i v) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
}
inline void store_widened(uint16_t* dst, __m128i v) noexcept {
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(v, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpackhi_epi8(v, zero));
}
inline void store_widened(uint32_t* dst, __m128i v) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi16(lo, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4), _mm_unpackhi_epi16(lo, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpacklo_epi16(hi, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 12), _mm_unpackhi_epi16(hi, zero));
}

// Widens the 16 bytes at s into characters of type Ch when all are ASCII;
// false, having stored nothing, when one is not.
template <typename Ch>
inline bool widen_ascii_16(Ch* dst, const uint8_t* s) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  if (_mm_movemask_epi8(v) != 0) return false;
  store_widened(dst, v);
  return true;
}
#else
template <typename Ch>
inline bool widen_ascii_16(Ch* dst, const uint8_t* s) noexcept {
  if (((word_bytes::load_le64(s) | word_bytes::load_le64(s + 8)) & kHighBits) != 0) return false;
  for (int k = 0; k < 16; ++k) dst[k] = Ch(s[k]);
  return true;
}
#endif

// Decodes well-formed UTF-8 into characters of type Ch, without checks.
template <typename Ch>
void decode_utf8(Ch* dst, const uint8_t* s, size_t n) noexcept {
  const uint8_t* const end = s + n;
  while (s < end) {
    const uint32_t b = *s;
    if (b < 0x80) {
      // Widen a run of ASCII, sixteen bytes at a time while they last.
      for (; end - s >= 16 && widen_ascii_16(dst, s); s += 16, dst += 16) {
      }
      while (s < end && *s < 0x80) *dst++ = Ch(*s++);
    } else if (b < 0xE0) {
      *dst++ = Ch(((b & 0x1F) << 6) | (s[1] & 0x3Fu));
      s += 2;
    } else if (b < 0xF0) {
      *dst++ = Ch(((b & 0x0F) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu));
      s += 3;
    } else {
      *dst++ = Ch(((b & 0x07) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu));
      s += 4;
    }
  }
}

// Creates the str for bytes of the given shape. PyUnicode_New writes the
// terminating NUL of the chosen width itself.
PyObject* make_str(const uint8_t* s, size_t n, StrShape shape) noexcept {
  PyObject* str = PyUnicode_New(Py_ssize_t(shape.chars), shape.maxchar);
  if (str == nullptr) return nullptr;
  switch (shape.maxchar) {
    case 127:
      std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
      break;
    case 255:
      decode_utf8(PyUnicode_1BYTE_DATA(str), s, n);
      break;
    case 0xFFFF:
      decode_utf8(PyUnicode_2BYTE_DATA(str), s, n);
      break;
    default:
      decode_utf8(PyUnicode_4BYTE_DATA(str), s, n);
      break;
  }
  return str;
}

}  // namespace

namespace {

template <typename Ch>
void narrow_code_points(Ch* dst, const uint32_t* u, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) dst[i] = Ch(u[i]);
}

}  // namespace

PyObject* build_str_code_points(const uint32_t* u, size_t n, uint32_t bound) noexcept {
  const Py_UCS4 maxchar = bound < 0x80 ? 127 : bound < 0x100 ? 255 : bound < 0x10000 ? 0xFFFF : 0x10FFFF;
  PyObject* str = PyUnicode_New(Py_ssize_t(n), maxchar);
  if (str == nullptr) return nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      narrow_code_points(PyUnicode_1BYTE_DATA(str), u, n);
      break;
    case PyUnicode_2BYTE_KIND:
      narrow_code_points(PyUnicode_2BYTE_DATA(str), u, n);
      break;
    default:
      std::memcpy(PyUnicode_4BYTE_DATA(str), u, n * sizeof(uint32_t));
      break;
  }
  return str;
}

namespace {

// Below 32 bytes, the size whose shape shape_short finds: ASCII (the common
// case) is copied as it is; other text is decoded once, into code points,
// instead of being measured and then decoded.
PyObject* build_short_str(const uint8_t* s, size_t n) noexcept {
  uint64_t any = 0;
  size_t i = 0;
  for (; n - i >= 8; i += 8) any |= word_bytes::load_le64(s + i);
  for (; i < n; ++i) any |= s[i];
  if ((any & kHighBits) == 0) return make_str(s, n, {n, 127});
  uint32_t code_points[32];
  uint32_t bound = 0;
  size_t count = 0;
  for (const uint8_t* const end = s + n; s < end; ++count) {
    const Utf8Char c = decode_utf8_char(s);
    s += c.length;
    bound |= c.cp;
    code_points[count] = c.cp;
  }
  return build_str_code_points(code_points, count, bound);
}

}  // namespace

PyObject* build_str_portable(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return build_short_str(s, n);
  return make_str(s, n, str_shape_portable(s, n));
}

#if QUIBEX_X86
PyObject* build_str_sse2(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return build_short_str(s, n);
  return make_str(s, n, str_shape_sse2(s, n));
}
PyObject* build_str_avx2(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return build_short_str(s, n);
  return make_str(s, n, str_shape_avx2(s, n));
}

// Whole 64-byte blocks, then one masked load (which never faults on the
// bytes it leaves out) for the rest.
[[QUIBEX_TARGET_AVX512]] PyObject* build_str_avx512(const uint8_t* s, size_t n) noexcept {
  const __m512i limit = _mm512_set1_epi8(kLastContinuation);
  __m512i max = _mm512_setzero_si512();
  size_t chars = 0, i = 0;
  for (; n - i >= 64; i += 64) {
    const __m512i v = _mm512_loadu_si512(s + i);
    max = _mm512_max_epu8(max, v);
    chars += __builtin_popcountll(_mm512_cmpgt_epi8_mask(v, limit));
  }
  if (i < n) {
    const __mmask64 rest = _bzhi_u64(~uint64_t{0}, unsigned(n - i));
    const __m512i v = _mm512_maskz_loadu_epi8(rest, s + i);
    max = _mm512_max_epu8(max, v);
    chars += __builtin_popcountll(_mm512_mask_cmpgt_epi8_mask(rest, v, limit));
  }
  // Only the thresholds of shape_of matter, so compare against them
  // instead of reducing the lanes to one maximum.
  const uint8_t max_byte = _mm512_cmpge_epu8_mask(max, _mm512_set1_epi8(char(0xF0)))   ? 0xF0
                           : _mm512_cmpge_epu8_mask(max, _mm512_set1_epi8(char(0xC4))) ? 0xC4
                           : _mm512_movepi8_mask(max)                                  ? 0x80
                                                                                       : 0;
  return make_str(s, n, shape_of(chars, max_byte));
}

#elif QUIBEX_NEON
PyObject* build_str_neon(const uint8_t* s, size_t n) noexcept {
  if (n < 32) return build_short_str(s, n);
  return make_str(s, n, str_shape_neon(s, n));
}
#endif

}  // namespace quibex
