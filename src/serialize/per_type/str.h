// JSON strings: UTF-8 acquisition, the reservation, and the two escaper
// variants (one of which the registry selects as escape_str).
#pragma once

#include "serialize/output_buffer.h"
#include "typeref/registry.h"

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

namespace detail {

constexpr uint64_t kEachByte = 0x0101010101010101;  // one in every byte of a word

// Whether any byte of the 8 in w is '"', '\\' or below 0x20. Each of the three
// terms has the top bit of a byte set when a borrow reaches it, which can
// happen above a matching byte but never without one; "& ~w" keeps bytes
// below 0x80 only, and a byte's top bit is the same in w and in w ^ c.
inline bool word_needs_escape(uint64_t w) noexcept {
  const uint64_t quote = w ^ (kEachByte * '"');
  const uint64_t backslash = w ^ (kEachByte * '\\');
  return (((w - kEachByte * 0x20) | (quote - kEachByte) | (backslash - kEachByte)) & ~w & (kEachByte * 0x80)) != 0;
}

inline uint64_t load_u64(const uint8_t* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline uint32_t load_u32(const uint8_t* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

}  // namespace detail

// Writes the n <= 16 bytes quoted when none of them needs escaping (the
// usual dict key), and returns the count n + 2; returns 0, having stored
// only scratch, when one does, for escape_str to redo. Inline, so most keys
// cost no call. The bytes are read as two words that overlap when n < 16
// (or n < 8, then with the gaps filled with spaces for the test), never
// past the n source bytes, and stored back at their own offsets.
[[gnu::always_inline]] inline size_t quote_short_plain(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  using detail::kEachByte;
  dst[0] = '"';
  if (n >= 8) {
    const uint64_t head = detail::load_u64(src);
    const uint64_t tail = detail::load_u64(src + n - 8);
    if (detail::word_needs_escape(head) || detail::word_needs_escape(tail)) return 0;
    std::memcpy(dst + 1, &head, 8);
    std::memcpy(dst + 1 + n - 8, &tail, 8);
  } else if (n >= 4) {
    const uint32_t head = detail::load_u32(src);
    const uint32_t tail = detail::load_u32(src + n - 4);
    if (detail::word_needs_escape(head | uint64_t{tail} << 32)) return 0;
    std::memcpy(dst + 1, &head, 4);
    std::memcpy(dst + 1 + n - 4, &tail, 4);
  } else if (n != 0) {
    // Bytes 0, n / 2 and n - 1 cover all of n = 1 to 3.
    const uint8_t mid = src[n / 2], last = src[n - 1];
    const uint64_t w = src[0] | uint32_t{mid} << 8 | uint32_t{last} << 16 | (kEachByte * ' ') << 24;
    if (detail::word_needs_escape(w)) return 0;
    dst[1] = src[0];
    dst[1 + n / 2] = mid;
    dst[n] = last;
  }
  dst[n + 1] = '"';
  return n + 2;
}

// Reserves 8 * n + 32 and writes the view quoted and escaped. The escaped
// form takes at most 6 * n + 2 bytes; the rest covers the escaper's stores
// past its count (whole vector blocks and table words).
[[nodiscard, gnu::always_inline]] inline DumpResult write_escaped(OutputBuffer& out, Utf8View view) noexcept {
  QUIBEX_TRY(out.reserve(8 * view.size + 32));
  uint8_t* p = out.write_ptr();
  size_t count = view.size <= 16 ? quote_short_plain(p, view.data, view.size) : 0;
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
// applied, and '"' at dst; return the bytes written. Both may store past
// that count up to 8 * n + 32 bytes from dst and never read src beyond n
// bytes; their output is identical for every input.
size_t escape_str_sse2(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
[[gnu::target("avx512f,avx512bw,avx512vl,bmi2")]]
size_t escape_str_avx512(uint8_t* dst, const uint8_t* src, size_t n) noexcept;

}  // namespace quibex
