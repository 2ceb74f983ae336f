// Python int values: 64-bit range, or the symmetric 53-bit range under
// OPT_STRICT_INTEGER.
#pragma once

#include "ffi/python.h"
#include "number/int_text.h"
#include "serialize/frame.h"
#include "serialize/output_buffer.h"

namespace quibex {

// An int of two or more 30-bit digits: read as one 64-bit value and checked
// against the ranges before anything is written.
[[gnu::noinline]] DumpResult write_wide_int(OutputBuffer& out, PyObject* obj, bool negative,
                                            OptionSet opts) noexcept;

// Writes an int (or int subclass). A compact int (magnitude below 2^30) is
// read straight from its digit word and needs no range check.
inline DumpResult write_int_object(OutputBuffer& out, PyObject* obj, OptionSet opts) noexcept {
  const ffi::LongView view = ffi::long_view(obj);
  const bool negative = view.sign == 2;
  if (!view.compact) [[unlikely]]
    return write_wide_int(out, obj, negative, opts);
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  *p = '-';  // kept only when negative; the digits overwrite it otherwise
  out.advance(negative + write_u32_decimal(view.digit, p + negative));
  return kDumpOk;
}

}  // namespace quibex
