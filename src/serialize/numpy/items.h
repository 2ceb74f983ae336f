// Texts of single numpy values, shared by array items and numpy scalars.
// Integers are always written in full: OPT_STRICT_INTEGER is for Python int.
#pragma once

#include "ffi/numpy/datetime.h"
#include "number/float_text.h"
#include "number/int_text.h"
#include "serialize/frame.h"
#include "serialize/output_buffer.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quibex {

// Each put_*_text stores the text of one value at dst, touching at most
// kItemTextRoom bytes (a double's text touches the most), and returns the
// end of the text.
inline constexpr size_t kItemTextRoom = 24;

// int8, int16 and int32 values: the magnitude fits an unsigned 32-bit value.
inline uint8_t* put_i32_text(uint8_t* dst, int32_t v) noexcept {
  auto magnitude = static_cast<uint32_t>(v);
  *dst = '-';  // kept only when negative; the digits overwrite it otherwise
  const bool negative = v < 0;
  if (negative) magnitude = 0 - magnitude;  // so -2^31 works
  dst += negative;
  return dst + write_u32_decimal(magnitude, dst);
}

inline uint8_t* put_i64_text(uint8_t* dst, int64_t v) noexcept {
  auto magnitude = static_cast<uint64_t>(v);
  *dst = '-';
  const bool negative = v < 0;
  if (negative) magnitude = 0 - magnitude;  // two's complement, so -2^63 works
  dst += negative;
  return dst + write_u64_decimal(magnitude, dst);
}

// uint8, uint16 and uint32 values.
inline uint8_t* put_u32_text(uint8_t* dst, uint32_t v) noexcept { return dst + write_u32_decimal(v, dst); }

inline uint8_t* put_u64_text(uint8_t* dst, uint64_t v) noexcept { return dst + write_u64_decimal(v, dst); }

// Fixed texts of up to eight bytes, stored whole.
inline uint8_t* put_word(uint8_t* dst, const char (&word)[9], size_t len) noexcept {
  std::memcpy(dst, word, 8);
  return dst + len;
}

// "false" for the byte 0, "true" for any other byte, as numpy reads a bool.
inline uint8_t* put_bool_text(uint8_t* dst, uint8_t v) noexcept {
  return v != 0 ? put_word(dst, "true\0\0\0\0", 4) : put_word(dst, "false\0\0\0", 5);
}

// Floats: shortest round-trip text, or null for NaN and infinities, the
// values whose exponent field is all ones.
inline uint8_t* put_f64_text(uint8_t* dst, double v) noexcept {
  if ((~std::bit_cast<uint64_t>(v) & 0x7FF0000000000000) == 0) [[unlikely]]
    return put_word(dst, "null\0\0\0\0", 4);
  return write_f64_shortest(dst, v);
}

inline uint8_t* put_f32_text(uint8_t* dst, float v) noexcept {
  if ((~std::bit_cast<uint32_t>(v) & 0x7F800000) == 0) [[unlikely]]
    return put_word(dst, "null\0\0\0\0", 4);
  return write_f32_shortest(dst, v);
}

// Half precision is written as the single of the same value.
inline uint8_t* put_f16_text(uint8_t* dst, uint16_t half) noexcept { return put_f32_text(dst, half_to_single(half)); }

// Writes one text through `put` (a function of the destination returning the
// end of the text) after the reservation every bounded value writer makes.
template <class Put>
[[nodiscard]] DumpResult write_value_text(OutputBuffer& out, Put put) noexcept {
  static_assert(kItemTextRoom <= kBoundedValueRoom);
  QUIBEX_TRY(out.reserve(kBoundedValueRoom));
  uint8_t* p = out.write_ptr();
  out.advance(static_cast<uint64_t>(put(p) - p));
  return kDumpOk;
}

// A datetime64 count in the unit of `descr`, as a quoted ISO string; fails
// with the unit's or the value's message.
DumpResult write_datetime64_item(OutputBuffer& out, int64_t count, const DatetimeDescr& descr,
                                 OptionSet options) noexcept;

}  // namespace quibex
