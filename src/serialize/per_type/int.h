// Python int values: 64-bit range, or the symmetric 53-bit range under
// OPT_STRICT_INTEGER.
#pragma once

#include "ffi/python.h"
#include "number/int_text.h"
#include "serialize/frame.h"
#include "serialize/output_buffer.h"

namespace quibex {

inline constexpr uint64_t kMaxSafeInteger = (uint64_t{1} << 53) - 1;  // largest magnitude under OPT_STRICT_INTEGER

// Writes an int (or int subclass). A compact int (magnitude below 2^30) is
// read straight from its digit word and needs no range check; a wider one
// is read from its digits and checked against the ranges before anything
// is written: up to 2^64 - 1 when positive, down to -2^63 when negative,
// the 64-bit check first.
[[gnu::always_inline]] inline DumpResult write_int_object(OutputBuffer& out, PyObject* obj, OptionSet opts) noexcept {
  if (ffi::long_view(obj).compact) [[likely]] {
    // Reserved before the sign and digit are read: neither is then kept
    // across a growth of the buffer (a call), which would hold them on the
    // stack in every item loop.
    QUIBEX_TRY(out.reserve(kBoundedValueRoom));
    const ffi::LongView view = ffi::long_view(obj);
    const bool negative = view.sign == 2;
    uint8_t* p = out.write_ptr();
    *p = '-';  // kept only when negative; the digits overwrite it otherwise
    out.advance(negative + write_u32_decimal(view.digit, p + negative));
    return kDumpOk;
  }
  const bool negative = ffi::long_view(obj).sign == 2;
  const ffi::LongMagnitude m = ffi::long_magnitude(obj);
  if (!m.fits || (negative && m.value > uint64_t{1} << 63)) [[unlikely]]
    return make_dump_error(DumpErrorKind::Integer64Bits);
  if ((opts & OPT_STRICT_INTEGER) && m.value > kMaxSafeInteger) [[unlikely]]
    return make_dump_error(DumpErrorKind::Integer53Bits);
  QUIBEX_TRY(out.reserve(kBoundedValueRoom));
  uint8_t* p = out.write_ptr();
  *p = '-';
  out.advance(negative + write_u64_decimal(m.value, p + negative));
  return kDumpOk;
}

}  // namespace quibex
