// Placeholder scalar escaper; replaced by the vector variants.
#include "serialize/per_type/str.h"

#include "typeref/registry.h"

#include <cstdio>

namespace quibex {

bool unicode_utf8_view(PyObject* s, Utf8View* view) noexcept {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &size);
  if (p == nullptr) return false;
  *view = {reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(size)};
  return true;
}

DumpResult write_escaped(OutputBuffer& out, Utf8View view) noexcept {
  QUIBEX_TRY(out.reserve(8 * view.size + 32));
  out.advance(escape_str(out.write_ptr(), view.data, view.size));
  return kDumpOk;
}

DumpResult write_str(OutputBuffer& out, PyObject* s) noexcept {
  Utf8View view;
  if (!unicode_utf8_view(s, &view)) return make_dump_error(DumpErrorKind::InvalidStr);
  return write_escaped(out, view);
}

DumpResult write_str_subclass(OutputBuffer& out, PyObject* s) noexcept { return write_str(out, s); }

size_t escape_str_sse2(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  uint8_t* o = dst;
  *o++ = '"';
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = src[i];
    switch (b) {
      case '"': *o++ = '\\'; *o++ = '"'; break;
      case '\\': *o++ = '\\'; *o++ = '\\'; break;
      case '\b': *o++ = '\\'; *o++ = 'b'; break;
      case '\t': *o++ = '\\'; *o++ = 't'; break;
      case '\n': *o++ = '\\'; *o++ = 'n'; break;
      case '\f': *o++ = '\\'; *o++ = 'f'; break;
      case '\r': *o++ = '\\'; *o++ = 'r'; break;
      default:
        if (b < 0x20) {
          std::snprintf(reinterpret_cast<char*>(o), 7, "\\u%04x", b);
          o += 6;
        } else {
          *o++ = b;
        }
    }
  }
  *o++ = '"';
  return static_cast<size_t>(o - dst);
}

size_t escape_str_avx512(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  return escape_str_sse2(dst, src, n);
}

}  // namespace quibex
