#include "serialize/per_type/datetime.h"

#include "number/int_text.h"
#include "support.h"
#include "typeref/registry.h"

#include <datetime.h>

#include <cstring>

namespace quibex {
namespace {

// Two digits of v < 100, with a leading zero below 10.
uint8_t* put2(uint8_t* p, uint32_t v) noexcept {
  std::memcpy(p, &DIGIT_PAIRS[2 * v], 2);
  return p + 2;
}

// "YYYY-MM-DD"; the year always has four digits (year 5 is 0005).
uint8_t* put_date(uint8_t* p, uint32_t year, uint32_t month, uint32_t day) noexcept {
  p = put2(p, year / 100);
  p = put2(p, year % 100);
  *p++ = '-';
  p = put2(p, month);
  *p++ = '-';
  return put2(p, day);
}

// "HH:MM:SS", then ".ffffff" unless the microsecond is 0 or omitted.
uint8_t* put_clock(uint8_t* p, uint32_t hour, uint32_t minute, uint32_t second, uint32_t microsecond,
                   OptionSet opts) noexcept {
  p = put2(p, hour);
  *p++ = ':';
  p = put2(p, minute);
  *p++ = ':';
  p = put2(p, second);
  if (microsecond == 0 || (opts & OPT_OMIT_MICROSECONDS)) return p;
  *p++ = '.';
  p = put2(p, microsecond / 10000);
  p = put2(p, microsecond / 100 % 100);
  return put2(p, microsecond % 100);
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
  p = put2(p, minutes / 60);  // at most 24
  *p++ = ':';
  return put2(p, minutes % 60);
}

// "YYYY-MM-DDTHH:MM:SS[.ffffff]".
[[gnu::always_inline]] inline uint8_t* put_date_and_clock(uint8_t* p, const CivilDateTime& v, OptionSet opts) noexcept {
  p = put_date(p, v.year, v.month, v.day);
  *p++ = 'T';
  return put_clock(p, v.hour, v.minute, v.second, v.microsecond, opts);
}

// The same, then the zero offset under OPT_NAIVE_UTC.
[[gnu::always_inline]] inline uint8_t* put_naive_datetime(uint8_t* p, const CivilDateTime& v, OptionSet opts) noexcept {
  p = put_date_and_clock(p, v, opts);
  return (opts & OPT_NAIVE_UTC) ? put_offset(p, 0, 0, opts) : p;
}

// The fields of a datetime object.
[[gnu::always_inline]] inline CivilDateTime fields_of(PyObject* dt) noexcept {
  return {static_cast<uint16_t>(PyDateTime_GET_YEAR(dt)),        static_cast<uint8_t>(PyDateTime_GET_MONTH(dt)),
          static_cast<uint8_t>(PyDateTime_GET_DAY(dt)),          static_cast<uint8_t>(PyDateTime_DATE_GET_HOUR(dt)),
          static_cast<uint8_t>(PyDateTime_DATE_GET_MINUTE(dt)),  static_cast<uint8_t>(PyDateTime_DATE_GET_SECOND(dt)),
          static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(dt))};
}

// Whether getattr(tz, name) succeeds. A zone with the generic attribute
// lookup whose class defines `name` as a plain function, or as a method
// descriptor of a class the zone is an instance of, has it for certain: the
// answer is given without making the bound method that PyObject_HasAttr
// would build and drop. Anything else asks PyObject_HasAttr.
bool has_method(PyObject* tz, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(tz);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* found = _PyType_Lookup(type, name);  // borrowed
    if (found != nullptr) {
      if (Py_IS_TYPE(found, &PyFunction_Type)) return true;
      if (Py_IS_TYPE(found, &PyMethodDescr_Type) && PyObject_TypeCheck(tz, PyDescr_TYPE(found))) return true;
    }
  }
  return PyObject_HasAttr(tz, name);
}

// New reference to what the time zone reports as the offset of `dt`, or
// null: with the exception pending when a call raised, without one when
// the zone has none of the methods known here.
PyObject* call_utcoffset(PyObject* dt, PyObject* tz, const TypeRegistry& r) noexcept {
  PyObject* tz_and_dt[2] = {tz, dt};
  if (Py_TYPE(tz) != r.tzinfo_type) {
    if (has_method(tz, r.convert_name)) {  // pendulum: the datetime knows its offset
      return PyObject_VectorcallMethod(r.utcoffset_name, &dt, 1, nullptr);
    }
    if (has_method(tz, r.normalize_name)) {  // pytz: the offset of the normalised datetime
      Owned normalized = Owned::steal(PyObject_VectorcallMethod(r.normalize_name, tz_and_dt, 2, nullptr));
      if (!normalized) return nullptr;
      PyObject* self = normalized.get();
      return PyObject_VectorcallMethod(r.utcoffset_name, &self, 1, nullptr);
    }
    if (!has_method(tz, r.dst_name)) return nullptr;
  }
  return PyObject_VectorcallMethod(r.utcoffset_name, tz_and_dt, 2, nullptr);
}

// Reads days and seconds of an offset; fails unless it lies in the open
// interval of a day either way (which the datetime type itself demands).
DumpResult read_offset(PyObject* offset, int32_t* days, int32_t* seconds) noexcept {
  *days = PyDateTime_DELTA_GET_DAYS(offset);
  *seconds = PyDateTime_DELTA_GET_SECONDS(offset);
  if (!(*days == 0 || (*days == -1 && *seconds != 0)))
    return make_dump_error(DumpErrorKind::DatetimeLibraryUnsupported);
  return kDumpOk;
}

// The UTC offset of an aware datetime as timedelta days and seconds. Fails
// when the zone raises, gives something other than a timedelta, or gives
// one outside a day; a raised exception stays pending as the cause.
DumpResult utc_offset_of(PyObject* dt, int32_t* days, int32_t* seconds, const TypeRegistry& r) noexcept {
  PyObject* tz = reinterpret_cast<PyDateTime_DateTime*>(dt)->tzinfo;
  // datetime.timezone, the commonest zone: an immutable type without
  // instance attributes, so of the methods asked for it has only dst, and
  // its utcoffset returns the fixed offset it holds, which is read here
  // directly (timezone.utc's is zero). No Python code runs.
  if (tz == r.utc) {
    *days = 0;
    *seconds = 0;
    return kDumpOk;
  }
  if (Py_TYPE(tz) == r.timezone_type) return read_offset(ffi::timezone_offset(tz), days, seconds);
  // The time-zone methods run Python code that may drop every other
  // reference to the datetime (and with it the tzinfo it holds).
  Owned hold = Owned::borrow(dt);
  Owned offset = Owned::steal(call_utcoffset(dt, tz, r));
  if (!offset || !PyObject_TypeCheck(offset.get(), r.delta_type))
    return make_dump_error(DumpErrorKind::DatetimeLibraryUnsupported);
  return read_offset(offset.get(), days, seconds);
}

}  // namespace

size_t write_date_text(PyObject* date, uint8_t* text) noexcept {
  const auto year = static_cast<uint32_t>(PyDateTime_GET_YEAR(date));  // 1 to 9999
  return static_cast<size_t>(put_date(text, year, PyDateTime_GET_MONTH(date), PyDateTime_GET_DAY(date)) - text);
}

size_t write_naive_datetime_text(const CivilDateTime& value, OptionSet opts, uint8_t* text) noexcept {
  return static_cast<size_t>(put_naive_datetime(text, value, opts) - text);
}

DumpResult write_time_text(PyObject* time, OptionSet opts, uint8_t* text, size_t* len) noexcept {
  if (_PyDateTime_HAS_TZINFO(time)) return make_dump_error(DumpErrorKind::TimeHasTzinfo);
  uint8_t* p = put_clock(text, PyDateTime_TIME_GET_HOUR(time), PyDateTime_TIME_GET_MINUTE(time),
                         PyDateTime_TIME_GET_SECOND(time), PyDateTime_TIME_GET_MICROSECOND(time), opts);
  *len = static_cast<size_t>(p - text);
  return kDumpOk;
}

DumpResult write_datetime_text(PyObject* dt, OptionSet opts, uint8_t* text, size_t* len,
                               const TypeRegistry& r) noexcept {
  if (!_PyDateTime_HAS_TZINFO(dt)) {
    *len = static_cast<size_t>(put_naive_datetime(text, fields_of(dt), opts) - text);
    return kDumpOk;
  }
  // Every field is read before any time-zone method runs.
  uint8_t* p = put_date_and_clock(text, fields_of(dt), opts);
  int32_t days = 0, seconds = 0;
  QUIBEX_TRY(utc_offset_of(dt, &days, &seconds, r));
  p = put_offset(p, days, seconds, opts);
  *len = static_cast<size_t>(p - text);
  return kDumpOk;
}

DumpResult write_date(OutputBuffer& out, PyObject* date) noexcept {
  return write_quoted(out, [&](uint8_t* text, size_t* len) noexcept {
    *len = write_date_text(date, text);
    return kDumpOk;
  });
}

DumpResult write_time(OutputBuffer& out, PyObject* time, OptionSet opts) noexcept {
  return write_quoted(out, [&](uint8_t* text, size_t* len) noexcept { return write_time_text(time, opts, text, len); });
}

DumpResult write_datetime(OutputBuffer& out, PyObject* dt, OptionSet opts, const TypeRegistry& r) noexcept {
  return write_quoted(out,
                      [&](uint8_t* text, size_t* len) noexcept { return write_datetime_text(dt, opts, text, len, r); });
}

}  // namespace quibex
