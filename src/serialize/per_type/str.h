// JSON strings: UTF-8 acquisition and the two escaper variants.
#pragma once

#include "serialize/output_buffer.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

struct Utf8View {
  const uint8_t* data;
  size_t size;
};

// The UTF-8 bytes of a str; false (UnicodeEncodeError pending) for lone surrogates.
bool unicode_utf8_view(PyObject* s, Utf8View* view) noexcept;

// Reserves 8 * n + 32 and writes the view quoted and escaped.
DumpResult write_escaped(OutputBuffer& out, Utf8View view) noexcept;

DumpResult write_str(OutputBuffer& out, PyObject* s) noexcept;
DumpResult write_str_subclass(OutputBuffer& out, PyObject* s) noexcept;

// The escaper variants; identical output for every input.
size_t escape_str_sse2(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
size_t escape_str_avx512(uint8_t* dst, const uint8_t* src, size_t n) noexcept;

}  // namespace quibex
