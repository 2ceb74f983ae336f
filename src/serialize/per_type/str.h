// JSON strings: UTF-8 acquisition, the reservation, the inline path for
// short plain strings, and the escaper variants (one of which the start-up
// selects as escape_str).
#pragma once

#include "serialize/output_buffer.h"
#include "typeref/cpu.h"
#include "word_bytes.h"
#include "typeref/registry.h"

#if QUIBEX_X86
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quibex {

// The UTF-8 bytes of a str, borrowed from the object: valid while it lives.
struct Utf8View {
  const uint8_t* data;
  size_t size;
};

// The UTF-8 bytes of an exact str; false (UnicodeEncodeError pending) when
// it holds a lone surrogate. Compact ASCII strings and strings whose UTF-8
// form is already cached cost no interpreter call; otherwise the interpreter
// encodes and caches the form, so the next encounter finds it cached.
[[gnu::always_inline]] inline bool unicode_utf8_view(PyObject* s, Utf8View* view) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    *view = {static_cast<const uint8_t*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
    return true;
  }
  // Every str that is not compact ASCII carries the utf8 cache fields.
  Py_ssize_t size = 0;
  const char* p = ffi::cached_utf8(s, &size);
  if (size == 0) {
    p = PyUnicode_AsUTF8AndSize(s, &size);
    if (p == nullptr) [[unlikely]]
      return false;
  }
  *view = {reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(size)};
  return true;
}

// Longest string that quote_short_plain takes.
inline constexpr size_t kShortPlainMax = 32;

// quote_short_plain(dst, src, n): writes the n <= 32 bytes quoted when none
// of them needs escaping (most dict keys and many values), and returns the
// count n + 2; returns 0, having stored only scratch, when one does, for
// escape_str to redo. Inline, so such strings cost no call. The bytes are
// read as two pieces that overlap unless n is twice their size (16, 8 or 4
// bytes each; single bytes below 4), never past the n source bytes, and
// stored back at their own offsets. One variant per architecture, the
// portable one everywhere; all take and decline the same strings.

namespace portable {

[[gnu::always_inline]] inline size_t quote_short_plain(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  dst[0] = '"';
  if (n >= 8) {
    // Two words from each end, or one: they cover all of n = 8 to 32.
    const size_t half = n > 16 ? 16 : 8;
    uint64_t any = 0;
    for (size_t k = 0; k < half; k += 8) {
      any |= word_bytes::string_stop_flags(word_bytes::load_le64(src + k)) | word_bytes::string_stop_flags(word_bytes::load_le64(src + n - half + k));
    }
    if (any != 0) return 0;
    std::memcpy(dst + 1 + n - half, src + n - half, half);
    std::memcpy(dst + 1, src, half);
  } else if (n >= 4) {
    uint8_t both[8];
    std::memcpy(both, src, 4);
    std::memcpy(both + 4, src + n - 4, 4);
    if (word_bytes::string_stop_flags(word_bytes::load_le64(both)) != 0) return 0;
    std::memcpy(dst + 1 + n - 4, both + 4, 4);
    std::memcpy(dst + 1, both, 4);
  } else if (n != 0) {
    // Bytes 0, n / 2 and n - 1 cover all of n = 1 to 3; the padding bytes
    // are plain.
    const uint8_t first = src[0], mid = src[n / 2], last = src[n - 1];
    if (word_bytes::string_stop_flags(0x2020202020000000 | first | mid << 8 | uint64_t{last} << 16) != 0) return 0;
    dst[1] = first;
    dst[1 + n / 2] = mid;
    dst[n] = last;
  }
  dst[n + 1] = '"';
  return n + 2;
}

}  // namespace portable

#if QUIBEX_X86
namespace sse2 {

// One bit per byte of v that is '"', '\\' or at most 0x1F.
inline uint32_t escape_mask(__m128i v) noexcept {
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}

[[gnu::always_inline]] inline size_t quote_short_plain(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  dst[0] = '"';
  if (n > 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
    if ((escape_mask(head) | escape_mask(tail)) != 0) return 0;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 1), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 1 + n - 16), tail);
  } else if (n >= 8) {
    const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
    const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + n - 8));
    if (escape_mask(_mm_unpacklo_epi64(head, tail)) != 0) return 0;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 1), head);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 1 + n - 8), tail);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    // The upper eight lanes are zero and would count as control bytes.
    const __m128i both = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(head)),
                                            _mm_cvtsi32_si128(static_cast<int>(tail)));
    if ((escape_mask(both) & 0xFF) != 0) return 0;
    std::memcpy(dst + 1, &head, 4);
    std::memcpy(dst + 1 + n - 4, &tail, 4);
  } else if (n != 0) {
    const uint8_t first = src[0], mid = src[n / 2], last = src[n - 1];
    const __m128i bytes = _mm_cvtsi32_si128(first | mid << 8 | last << 16);
    if ((escape_mask(bytes) & 0x7) != 0) return 0;
    dst[1] = first;
    dst[1 + n / 2] = mid;
    dst[n] = last;
  }
  dst[n + 1] = '"';
  return n + 2;
}

}  // namespace sse2
using sse2::quote_short_plain;
#else
using portable::quote_short_plain;
#endif

// Reserves 8 * n + 32 and writes the view quoted and escaped. The escaped
// form takes at most 6 * n + 2 bytes; the rest covers the escaper's stores
// past its count (whole vector blocks and table words).
[[nodiscard, gnu::always_inline]] inline DumpResult write_escaped(OutputBuffer& out, Utf8View view) noexcept {
  QUIBEX_TRY(out.reserve(8 * view.size + kStoreSlack));
  uint8_t* p = out.write_ptr();
  size_t count = view.size <= kShortPlainMax ? quote_short_plain(p, view.data, view.size) : 0;
  if (count == 0) count = escape_str(p, view.data, view.size);
  out.advance(count);
  return kDumpOk;
}

// An exact str as a JSON string.
[[nodiscard, gnu::always_inline]] inline DumpResult write_str(OutputBuffer& out, PyObject* s) noexcept {
  Utf8View view;
  if (!unicode_utf8_view(s, &view)) [[unlikely]]
    return make_dump_error(DumpErrorKind::InvalidStr);
  return write_escaped(out, view);
}

// An instance of a str subclass; its bytes always come from
// PyUnicode_AsUTF8AndSize, never from the object's fields.
[[nodiscard]] DumpResult write_str_subclass(OutputBuffer& out, PyObject* s) noexcept;

// The escaper variants: write '"', the n bytes with the JSON escapes
// applied, and '"' at dst; return the bytes written. All may store past
// that count up to 8 * n + 32 bytes from dst and never read src beyond n
// bytes; their output is identical for every input. kEscapeVariants lists
// them for the selection and the tests.
size_t escape_str_portable(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
#if QUIBEX_X86
size_t escape_str_sse2(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
[[QUIBEX_TARGET_AVX512]] size_t escape_str_avx512(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
#elif QUIBEX_NEON
size_t escape_str_neon(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
#endif

inline constexpr Variant<EscapeStrFn> kEscapeVariants[] = {
    {"portable", 0, escape_str_portable},
#if QUIBEX_X86
    {"sse2", 0, escape_str_sse2},
    {"avx512", kNeedsAvx512, escape_str_avx512},
#elif QUIBEX_NEON
    {"neon", 0, escape_str_neon},
#endif
};

}  // namespace quibex
