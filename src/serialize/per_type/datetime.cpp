#include "serialize/per_type/datetime.h"

#include "number/int_text.h"
#include "support.h"
#include "typeref/registry.h"

#include <datetime.h>

#include <cstring>

namespace quibex {
namespace {

// Writes v (below 10^width) as exactly `width` digits, zero-padded on the left.
uint8_t* put_padded(uint8_t* p, uint32_t v, size_t width) noexcept {
  uint8_t digits[16];
  const size_t n = write_u32_decimal(v, digits);
  std::memset(p, '0', width - n);
  std::memcpy(p + width - n, digits, n);
  return p + width;
}

// "YYYY-MM-DD"; the year always has four digits (year 5 is 0005).
uint8_t* put_date(uint8_t* p, PyObject* date) noexcept {
  p = put_padded(p, static_cast<uint32_t>(PyDateTime_GET_YEAR(date)), 4);
  *p++ = '-';
  p = put_padded(p, PyDateTime_GET_MONTH(date), 2);
  *p++ = '-';
  return put_padded(p, PyDateTime_GET_DAY(date), 2);
}

// "HH:MM:SS", then ".ffffff" unless the microsecond is 0 or omitted.
uint8_t* put_clock(uint8_t* p, uint32_t hour, uint32_t minute, uint32_t second, uint32_t microsecond,
                   OptionSet opts) noexcept {
  p = put_padded(p, hour, 2);
  *p++ = ':';
  p = put_padded(p, minute, 2);
  *p++ = ':';
  p = put_padded(p, second, 2);
  if (microsecond == 0 || (opts & OPT_OMIT_MICROSECONDS)) return p;
  *p++ = '.';
  return put_padded(p, microsecond, 6);
}

// The offset text of a validated offset (days 0, or -1 with seconds > 0).
uint8_t* put_offset(uint8_t* p, int32_t days, int32_t seconds, OptionSet opts) noexcept {
  if (seconds == 0) {
    if (opts & OPT_UTC_Z) {
      *p++ = 'Z';
      return p;
    }
    std::memcpy(p, "+00:00", 6);
    return p + 6;
  }
  const bool negative = days == -1;
  const uint32_t magnitude = static_cast<uint32_t>(negative ? 86400 - seconds : seconds);
  // Rounded to the nearest minute, halves up; the carry reaches the hour, so
  // +01:59:30 is written +02:00. Seconds of the offset are never written.
  const uint32_t minutes = (magnitude + 30) / 60;
  *p++ = negative ? '-' : '+';
  p = put_padded(p, minutes / 60, 2);
  *p++ = ':';
  return put_padded(p, minutes % 60, 2);
}

// New reference to what the time zone reports as the offset of `dt`, or
// null: with the exception pending when a call raised, without one when
// the zone has none of the methods known here.
PyObject* call_utcoffset(PyObject* dt, PyObject* tz) noexcept {
  const TypeRegistry& r = REGISTRY;
  PyObject* tz_and_dt[2] = {tz, dt};
  if (Py_TYPE(tz) != r.tzinfo_type) {
    if (PyObject_HasAttr(tz, r.convert_name)) {  // pendulum: the datetime knows its offset
      return PyObject_VectorcallMethod(r.utcoffset_name, &dt, 1, nullptr);
    }
    if (PyObject_HasAttr(tz, r.normalize_name)) {  // pytz: the offset of the normalised datetime
      Owned normalized = Owned::steal(PyObject_VectorcallMethod(r.normalize_name, tz_and_dt, 2, nullptr));
      if (!normalized) return nullptr;
      PyObject* self = normalized.get();
      return PyObject_VectorcallMethod(r.utcoffset_name, &self, 1, nullptr);
    }
    if (!PyObject_HasAttr(tz, r.dst_name)) return nullptr;
  }
  return PyObject_VectorcallMethod(r.utcoffset_name, tz_and_dt, 2, nullptr);
}

// The UTC offset of an aware datetime as timedelta days and seconds. Fails
// when the zone raises, gives something other than a timedelta, or gives
// one outside the open interval of a day either way (which the datetime
// type itself rejects); a raised exception stays pending as the cause.
DumpResult utc_offset_of(PyObject* dt, int32_t* days, int32_t* seconds) noexcept {
  // The time-zone methods run Python code that may drop every other
  // reference to the datetime (and with it the tzinfo it holds).
  Owned hold = Owned::borrow(dt);
  PyObject* tz = reinterpret_cast<PyDateTime_DateTime*>(dt)->tzinfo;
  Owned offset = Owned::steal(call_utcoffset(dt, tz));
  if (!offset || !PyObject_TypeCheck(offset.get(), REGISTRY.delta_type))
    return make_dump_error(DumpErrorKind::DatetimeLibraryUnsupported);
  *days = PyDateTime_DELTA_GET_DAYS(offset.get());
  *seconds = PyDateTime_DELTA_GET_SECONDS(offset.get());
  if (!(*days == 0 || (*days == -1 && *seconds != 0)))
    return make_dump_error(DumpErrorKind::DatetimeLibraryUnsupported);
  return kDumpOk;
}

}  // namespace

size_t write_date_text(PyObject* date, uint8_t* text) noexcept {
  return static_cast<size_t>(put_date(text, date) - text);
}

DumpResult write_time_text(PyObject* time, OptionSet opts, uint8_t* text, size_t* len) noexcept {
  if (_PyDateTime_HAS_TZINFO(time)) return make_dump_error(DumpErrorKind::TimeHasTzinfo);
  uint8_t* p = put_clock(text, PyDateTime_TIME_GET_HOUR(time), PyDateTime_TIME_GET_MINUTE(time),
                         PyDateTime_TIME_GET_SECOND(time), PyDateTime_TIME_GET_MICROSECOND(time), opts);
  *len = static_cast<size_t>(p - text);
  return kDumpOk;
}

DumpResult write_datetime_text(PyObject* dt, OptionSet opts, uint8_t* text, size_t* len) noexcept {
  // Every field is read before any time-zone method runs.
  uint8_t* p = put_date(text, dt);
  *p++ = 'T';
  p = put_clock(p, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt),
                PyDateTime_DATE_GET_MICROSECOND(dt), opts);
  int32_t days = 0, seconds = 0;  // naive under OPT_NAIVE_UTC: a zero offset
  if (_PyDateTime_HAS_TZINFO(dt)) {
    QUIBEX_TRY(utc_offset_of(dt, &days, &seconds));
  } else if (!(opts & OPT_NAIVE_UTC)) {
    *len = static_cast<size_t>(p - text);
    return kDumpOk;
  }
  p = put_offset(p, days, seconds, opts);
  *len = static_cast<size_t>(p - text);
  return kDumpOk;
}

DumpResult write_quoted_text(OutputBuffer& out, const uint8_t* text, size_t len) noexcept {
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  p[0] = '"';
  std::memcpy(p + 1, text, len);
  p[len + 1] = '"';
  out.advance(len + 2);
  return kDumpOk;
}

DumpResult write_date(OutputBuffer& out, PyObject* date) noexcept {
  uint8_t text[kTemporalTextCapacity];
  return write_quoted_text(out, text, write_date_text(date, text));
}

DumpResult write_time(OutputBuffer& out, PyObject* time, OptionSet opts) noexcept {
  uint8_t text[kTemporalTextCapacity];
  size_t len = 0;
  QUIBEX_TRY(write_time_text(time, opts, text, &len));
  return write_quoted_text(out, text, len);
}

DumpResult write_datetime(OutputBuffer& out, PyObject* dt, OptionSet opts) noexcept {
  uint8_t text[kTemporalTextCapacity];
  size_t len = 0;
  QUIBEX_TRY(write_datetime_text(dt, opts, text, &len));
  return write_quoted_text(out, text, len);
}

}  // namespace quibex
