// Writers of single numpy values, shared by array items and numpy scalars.
// Integers are always written in full: OPT_STRICT_INTEGER is for Python int.
#pragma once

#include "ffi/numpy/datetime.h"
#include "number/int_text.h"
#include "serialize/output_buffer.h"

#include <cstdint>

namespace quibex {

// int8, int16 and int32 values: the magnitude fits an unsigned 32-bit value.
inline DumpResult write_i32_item(OutputBuffer& out, int32_t v) noexcept {
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  auto magnitude = static_cast<uint32_t>(v);
  if (v < 0) {
    *p++ = '-';
    magnitude = 0 - magnitude;
  }
  p += write_u32_decimal(magnitude, p);
  out.advance(static_cast<uint64_t>(p - out.write_ptr()));
  return kDumpOk;
}

inline DumpResult write_i64_item(OutputBuffer& out, int64_t v) noexcept {
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  auto magnitude = static_cast<uint64_t>(v);
  if (v < 0) {
    *p++ = '-';
    magnitude = 0 - magnitude;  // two's complement, so -2^63 works
  }
  p += write_u64_decimal(magnitude, p);
  out.advance(static_cast<uint64_t>(p - out.write_ptr()));
  return kDumpOk;
}

// uint8, uint16 and uint32 values.
inline DumpResult write_u32_item(OutputBuffer& out, uint32_t v) noexcept {
  QUIBEX_TRY(out.reserve(128));
  out.advance(write_u32_decimal(v, out.write_ptr()));
  return kDumpOk;
}

inline DumpResult write_u64_item(OutputBuffer& out, uint64_t v) noexcept {
  QUIBEX_TRY(out.reserve(128));
  out.advance(write_u64_decimal(v, out.write_ptr()));
  return kDumpOk;
}

// "true" for the byte 1, "false" for any other byte.
inline DumpResult write_bool_item(OutputBuffer& out, uint8_t v) noexcept {
  QUIBEX_TRY(out.reserve(128));
  if (v == 1) out.put8("true\0\0\0\0", 4);
  else out.put8("false\0\0\0", 5);
  return kDumpOk;
}

// A datetime64 count in the unit of `descr`, as a quoted ISO string; fails
// with the unit's or the value's message.
DumpResult write_datetime64_item(OutputBuffer& out, int64_t count, const DatetimeDescr& descr,
                                 OptionSet options) noexcept;

}  // namespace quibex
