// Placeholder; replaced by the shortest-digit writers.
#include "serialize/per_type/float.h"

#include <cmath>
#include <cstring>

namespace quibex {

DumpResult write_float_object(OutputBuffer& out, PyObject* obj) noexcept {
  const double v = PyFloat_AS_DOUBLE(obj);
  if (!std::isfinite(v)) return out.write_null();
  char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) return make_dump_error(DumpErrorKind::OutOfMemory);
  const size_t n = std::strlen(text);
  DumpResult r = out.reserve(128);
  if (r.ok()) {
    std::memcpy(out.write_ptr(), text, n);
    out.advance(n);
  }
  PyMem_Free(text);
  return r;
}

}  // namespace quibex
