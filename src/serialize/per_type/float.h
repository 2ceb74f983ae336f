// Float values: shortest round-trip text, or null for NaN and infinities
// (JSON has neither), which are the values whose exponent field is all ones.
#pragma once

#include "number/float_text.h"
#include "serialize/output_buffer.h"

#include <bit>

namespace quibex {

[[gnu::always_inline]] inline DumpResult write_f64_value(OutputBuffer& out, double v) noexcept {
  if ((~std::bit_cast<uint64_t>(v) & 0x7FF0000000000000) == 0) [[unlikely]]
    return out.write_null();
  QUIBEX_TRY(out.reserve(kBoundedValueRoom));
  uint8_t* p = out.write_ptr();
  out.advance(static_cast<uint64_t>(write_f64_shortest(p, v) - p));
  return kDumpOk;
}

// A float object (or subclass instance): its ob_fval, negative zero included.
[[gnu::always_inline]] inline DumpResult write_float_object(OutputBuffer& out, PyObject* obj) noexcept {
  return write_f64_value(out, PyFloat_AS_DOUBLE(obj));
}

}  // namespace quibex
