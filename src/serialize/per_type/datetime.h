// RFC 3339 text of datetime.datetime, datetime.date and datetime.time,
// as JSON string values and as the bare texts that dict keys use.
#pragma once

#include "civil_datetime.h"
#include "serialize/frame.h"
#include "serialize/output_buffer.h"
#include "typeref/registry.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Room every text writer below may use: the longest datetime text,
// "YYYY-MM-DDTHH:MM:SS.ffffff+HH:MM", is 32 bytes, and a UUID is 36.
inline constexpr size_t kTemporalTextCapacity = 40;

// Each writes the bare text at `text` (kTemporalTextCapacity bytes of room).
size_t write_date_text(PyObject* date, uint8_t* text) noexcept;
// "YYYY-MM-DDTHH:MM:SS", ".ffffff" unless the microsecond is 0 or
// OPT_OMIT_MICROSECONDS is set, and under OPT_NAIVE_UTC the zero offset
// ("+00:00", or "Z" with OPT_UTC_Z); returns the length.
size_t write_naive_datetime_text(const CivilDateTime& value, OptionSet opts, uint8_t* text) noexcept;
// Fails with TimeHasTzinfo for a time that carries a tzinfo.
DumpResult write_time_text(PyObject* time, OptionSet opts, uint8_t* text, size_t* len) noexcept;
// Fails with DatetimeLibraryUnsupported when the time zone gives no usable offset.
DumpResult write_datetime_text(PyObject* datetime, OptionSet opts, uint8_t* text, size_t* len,
                               const TypeRegistry& r) noexcept;

// Writes a text between quotation marks, built in place in the buffer:
// `write(text, &len)` stores the bare text at `text` (kTemporalTextCapacity
// bytes of room) or fails. On failure nothing is written: the bytes stored
// lie past the buffer's length. The buffer cannot move meanwhile, even when
// `write` runs Python code: only this call's writers grow it.
template <class Write>
[[nodiscard]] DumpResult write_quoted(OutputBuffer& out, Write write) noexcept {
  static_assert(kTemporalTextCapacity + 2 <= kBoundedValueRoom);
  QUIBEX_TRY(out.reserve(kBoundedValueRoom));
  uint8_t* p = out.write_ptr();
  size_t len = 0;
  QUIBEX_TRY(write(p + 1, &len));
  p[0] = '"';
  p[len + 1] = '"';
  out.advance(len + 2);
  return kDumpOk;
}

// JSON string values of the three types.
DumpResult write_date(OutputBuffer& out, PyObject* date) noexcept;
DumpResult write_time(OutputBuffer& out, PyObject* time, OptionSet opts) noexcept;
DumpResult write_datetime(OutputBuffer& out, PyObject* datetime, OptionSet opts, const TypeRegistry& r) noexcept;

}  // namespace quibex
