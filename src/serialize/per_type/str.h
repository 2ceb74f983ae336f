// JSON strings: UTF-8 acquisition, the reservation, and the two escaper
// variants (one of which the registry selects as escape_str).
#pragma once

#include "serialize/output_buffer.h"
#include "typeref/registry.h"

#include <cstddef>
#include <cstdint>

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
inline bool unicode_utf8_view(PyObject* s, Utf8View* view) noexcept {
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

// Reserves 8 * n + 32 and writes the view quoted and escaped. The escaped
// form takes at most 6 * n + 2 bytes; the rest covers the escaper's stores
// past its count (whole vector blocks and table words).
[[nodiscard]] inline DumpResult write_escaped(OutputBuffer& out, Utf8View view) noexcept {
  QUIBEX_TRY(out.reserve(8 * view.size + 32));
  out.advance(escape_str(out.write_ptr(), view.data, view.size));
  return kDumpOk;
}

// An exact str as a JSON string.
[[nodiscard]] inline DumpResult write_str(OutputBuffer& out, PyObject* s) noexcept {
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
