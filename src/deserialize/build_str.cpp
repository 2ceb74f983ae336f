// Placeholder; replaced by the vector builders.
#include "deserialize/build_str.h"

namespace quibex {

PyObject* build_str_portable(const uint8_t* src, size_t n) noexcept {
  return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(src), static_cast<Py_ssize_t>(n), "strict");
}

PyObject* build_str_avx512(const uint8_t* src, size_t n) noexcept { return build_str_portable(src, n); }

}  // namespace quibex
