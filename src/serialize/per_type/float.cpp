#include "serialize/per_type/float.h"

#include "number/float_text.h"

#include <cmath>

namespace quibex {

DumpResult write_f64_value(OutputBuffer& out, double v) noexcept {
  if (!std::isfinite(v)) return out.write_null();
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  out.advance(static_cast<uint64_t>(write_f64_shortest(p, v) - p));
  return kDumpOk;
}

DumpResult write_f32_value(OutputBuffer& out, float v) noexcept {
  if (!std::isfinite(v)) return out.write_null();
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  out.advance(static_cast<uint64_t>(write_f32_shortest(p, v) - p));
  return kDumpOk;
}

DumpResult write_f16_value(OutputBuffer& out, uint16_t half) noexcept {
  return write_f32_value(out, half_to_single(half));
}

DumpResult write_float_object(OutputBuffer& out, PyObject* obj) noexcept {
  return write_f64_value(out, PyFloat_AS_DOUBLE(obj));
}

}  // namespace quibex
