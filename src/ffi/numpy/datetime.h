// numpy datetime64: units, their reading from a dtype description, and the
// conversion of a count of units since 1970-01-01T00:00:00 into a civil
// date and time.
#pragma once

#include "civil_datetime.h"
#include "support.h"

#include <cstdint>
#include <string_view>

namespace quibex {

// datetime64 units in numpy's order; indexes kDatetimeUnitNames.
enum class DatetimeUnit : uint8_t {
  NaT,  // the description could not be read
  Years,
  Months,
  Weeks,
  Days,
  Hours,
  Minutes,
  Seconds,
  Milliseconds,
  Microseconds,
  Nanoseconds,
  Picoseconds,
  Femtoseconds,
  Attoseconds,
  Generic,
  Unlisted,  // any other unit text (a multiple such as 10ns or 2D); named by its text
};

// The unit of a datetime64 array or scalar, read from `dtype.descr`.
struct DatetimeDescr {
  DatetimeUnit unit = DatetimeUnit::NaT;
  std::string_view text;  // the unit as numpy writes it ("10ns"); points into `holder`
  Owned holder;           // the description's type string (keeps `text` alive)
};

// The unit selected by a description's type string such as "<M8[ns]". Sets
// *text to the unit text (after "[", without the closing "]").
DatetimeUnit parse_datetime_unit(std::string_view type_string, std::string_view* text) noexcept;

// Reads obj.dtype.descr[0][1], the names given interned ("dtype", "descr").
// Runs no user code for numpy arrays and scalars; an unreadable description
// gives NaT and leaves no exception pending.
DatetimeDescr read_datetime_unit(PyObject* obj, PyObject* dtype_name, PyObject* descr_name) noexcept;

enum class DatetimeFailure : uint8_t { None, Unsupported, Unrepresentable };

// Converts `count` units since the epoch; digits below a microsecond are
// dropped. Unsupported for units that are not written (NaT, below
// nanoseconds, generic, unlisted); Unrepresentable for a value outside
// 0000-01-01T00:00:00 .. 9999-12-30T22:00:00.
DatetimeFailure convert_datetime64(int64_t count, DatetimeUnit unit, CivilDateTime* out) noexcept;

struct DatetimeError {
  DatetimeFailure kind;
  DatetimeUnit unit;
  std::string_view unit_text;  // names an Unlisted unit
  int64_t count;
};

// The failure's message as a new str; null with MemoryError set.
PyObject* datetime_error_message(const DatetimeError& error) noexcept;

}  // namespace quibex
