#include "ffi/numpy/datetime.h"

#include "number/int_text.h"
#include "typeref/registry.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace quibex {
namespace {

// Each unit with its text after "[" in a description's type string (NaT and
// Unlisted have none) and its name in messages (Unlisted is named by its own
// text), one row per unit in the order of DatetimeUnit.
struct UnitRow {
  DatetimeUnit unit;
  std::string_view text;
  std::string_view name;
};
constexpr UnitRow kUnits[] = {
    {DatetimeUnit::NaT, "", "NaT"},
    {DatetimeUnit::Years, "Y", "years"},
    {DatetimeUnit::Months, "M", "months"},
    {DatetimeUnit::Weeks, "W", "weeks"},
    {DatetimeUnit::Days, "D", "days"},
    {DatetimeUnit::Hours, "h", "hours"},
    {DatetimeUnit::Minutes, "m", "minutes"},
    {DatetimeUnit::Seconds, "s", "seconds"},
    {DatetimeUnit::Milliseconds, "ms", "milliseconds"},
    {DatetimeUnit::Microseconds, "us", "microseconds"},
    {DatetimeUnit::Nanoseconds, "ns", "nanoseconds"},
    {DatetimeUnit::Picoseconds, "ps", "picoseconds"},
    {DatetimeUnit::Femtoseconds, "fs", "femtoseconds"},
    {DatetimeUnit::Attoseconds, "as", "attoseconds"},
    {DatetimeUnit::Generic, "generic", "generic"},
    {DatetimeUnit::Unlisted, "", ""},
};

// Whether row i of kUnits is the row of unit i, for every unit.
constexpr bool rows_follow_units() noexcept {
  if (std::size(kUnits) != static_cast<size_t>(DatetimeUnit::Unlisted) + 1) return false;
  for (size_t i = 0; i < std::size(kUnits); ++i) {
    if (static_cast<size_t>(kUnits[i].unit) != i) return false;
  }
  return true;
}
static_assert(rows_follow_units(), "kUnits needs one row per DatetimeUnit, in the enum's order");

// The head of each failure's message, one row per failure in the order of
// DatetimeFailure (None has none).
struct FailureRow {
  DatetimeFailure failure;
  std::string_view head;
};
constexpr FailureRow kFailureHeads[] = {
    {DatetimeFailure::None, ""},
    {DatetimeFailure::Unsupported, "unsupported numpy.datetime64 unit: "},
    {DatetimeFailure::Unrepresentable, "unrepresentable numpy.datetime64: "},
};
constexpr bool rows_follow_failures() noexcept {
  if (std::size(kFailureHeads) != static_cast<size_t>(DatetimeFailure::Unrepresentable) + 1) return false;
  for (size_t i = 0; i < std::size(kFailureHeads); ++i) {
    if (static_cast<size_t>(kFailureHeads[i].failure) != i) return false;
  }
  return true;
}
static_assert(rows_follow_failures(), "kFailureHeads needs one row per DatetimeFailure, in the enum's order");

constexpr int64_t floor_div(int64_t a, int64_t b) noexcept {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
constexpr int64_t ceil_div(int64_t a, int64_t b) noexcept { return -floor_div(-a, b); }

// Days from 1970-01-01 to the given proleptic Gregorian date, counting in
// 400-year eras of 146097 days that start on March 1 (Hinnant's days_from_civil).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const unsigned yoe = static_cast<unsigned>(y - era * 400);              // 0 .. 399
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;   // 0 .. 365
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;             // 0 .. 146096
  return era * 146097 + doe - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// The inverse of days_from_civil (Hinnant's civil_from_days).
constexpr CivilDate civil_from_days(int64_t z) noexcept {
  z += 719468;  // days from 0000-03-01
  const int64_t era = floor_div(z, 146097);
  const unsigned doe = static_cast<unsigned>(z - era * 146097);                // 0 .. 146096
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0 .. 399
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // 0 .. 365
  const unsigned mp = (5 * doy + 2) / 153;                                     // 0 .. 11, March first
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (month <= 2), month, day};
}
static_assert(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017);
static_assert(civil_from_days(-1).year == 1969 && civil_from_days(-1).month == 12 && civil_from_days(-1).day == 31);

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kNanosPerSecond = 1000000000;

// Instants are written from 0000-01-01T00:00:00 through 9999-12-30T22:00:00.
constexpr int64_t kEarliestSecond = days_from_civil(0, 1, 1) * kSecondsPerDay;
constexpr int64_t kLatestSecond = days_from_civil(9999, 12, 30) * kSecondsPerDay + 22 * 3600;
static_assert(kEarliestSecond == -62167219200 && kLatestSecond == 253402207200);

// An instant unit: `seconds` seconds, or 1 / `per_second` of a second, and
// the counts that stay within the written instants.
struct InstantUnit {
  int64_t seconds;
  int64_t per_second;
  int64_t min_count;
  int64_t max_count;
};

constexpr InstantUnit instant_unit(int64_t seconds, int64_t per_second) noexcept {
  return {seconds, per_second, ceil_div(kEarliestSecond * per_second, seconds),
          floor_div(kLatestSecond * per_second, seconds)};
}

// Weeks through nanoseconds, indexed by DatetimeUnit - Weeks. Every 64-bit
// count of nanoseconds lies within the written instants (years 1677 to 2262).
constexpr InstantUnit kInstantUnits[] = {
    instant_unit(7 * kSecondsPerDay, 1), instant_unit(kSecondsPerDay, 1), instant_unit(3600, 1),
    instant_unit(60, 1),                 instant_unit(1, 1),              instant_unit(1, 1000),
    instant_unit(1, 1000000),
    {1, kNanosPerSecond, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()},
};
static_assert(std::size(kInstantUnits) ==
              static_cast<size_t>(DatetimeUnit::Nanoseconds) - static_cast<size_t>(DatetimeUnit::Weeks) + 1);
static_assert(kInstantUnits[0].min_count == -102789 && kInstantUnits[0].max_count == 418985);
static_assert(kInstantUnits[1].min_count == -719528 && kInstantUnits[1].max_count == 2932895);
static_assert(kInstantUnits[2].min_count == -17268672 && kInstantUnits[2].max_count == 70389502);
static_assert(kInstantUnits[3].min_count == -1036120320 && kInstantUnits[3].max_count == 4223370120);
static_assert(kInstantUnits[6].min_count == -62167219200000000 && kInstantUnits[6].max_count == 253402207200000000);

// Years and months reach 9999-01-01 and 9999-12-01.
constexpr int64_t kMinYears = 0 - 1970, kMaxYears = 9999 - 1970;
constexpr int64_t kMinMonths = kMinYears * 12, kMaxMonths = kMaxYears * 12 + 11;
static_assert(kMinMonths == -23640 && kMaxMonths == 96359);

}  // namespace

DatetimeUnit parse_datetime_unit(std::string_view s, std::string_view* text) noexcept {
  *text = {};
  if (s.size() < 5) return DatetimeUnit::NaT;
  // "<M8[" precedes the unit and "]" follows it; neither is examined.
  const std::string_view key = s.substr(4, s.size() - 5);
  *text = s.back() == ']' ? key : s.substr(4);
  for (size_t u = 1; u < static_cast<size_t>(DatetimeUnit::Unlisted); ++u) {
    if (key == kUnits[u].text) return kUnits[u].unit;
  }
  return DatetimeUnit::Unlisted;
}

DatetimeDescr read_datetime_unit(PyObject* obj, PyObject* dtype_name, PyObject* descr_name) noexcept {
  DatetimeDescr result;
  Owned dtype = Owned::steal(PyObject_GetAttr(obj, dtype_name));
  Owned descr = dtype ? Owned::steal(PyObject_GetAttr(dtype.get(), descr_name)) : Owned();
  if (!descr) {
    PyErr_Clear();
    return result;
  }
  if (!PyList_Check(descr.get()) || PyList_GET_SIZE(descr.get()) == 0) return result;
  // numpy builds the description without checking its parts: out of memory,
  // the list or tuple can hold a null item.
  PyObject* field = PyList_GET_ITEM(descr.get(), 0);
  if (field == nullptr || !PyTuple_Check(field) || PyTuple_GET_SIZE(field) < 2) return result;
  PyObject* type_string = PyTuple_GET_ITEM(field, 1);
  // numpy writes descriptions in ASCII; anything else is not one of them.
  if (type_string == nullptr || !PyUnicode_CheckExact(type_string) || !PyUnicode_IS_ASCII(type_string)) return result;
  const std::string_view s(static_cast<const char*>(PyUnicode_DATA(type_string)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(type_string)));
  result.holder = Owned::borrow(type_string);
  result.unit = parse_datetime_unit(s, &result.text);
  return result;
}

DatetimeFailure convert_datetime64(int64_t count, DatetimeUnit unit, CivilDateTime* out) noexcept {
  *out = CivilDateTime{0, 1, 1, 0, 0, 0, 0};
  switch (unit) {
    case DatetimeUnit::Years:
      if (count < kMinYears || count > kMaxYears) return DatetimeFailure::Unrepresentable;
      out->year = static_cast<uint16_t>(1970 + count);
      return DatetimeFailure::None;
    case DatetimeUnit::Months:
      if (count < kMinMonths || count > kMaxMonths) return DatetimeFailure::Unrepresentable;
      out->year = static_cast<uint16_t>(1970 + floor_div(count, 12));
      out->month = static_cast<uint8_t>(count - floor_div(count, 12) * 12 + 1);
      return DatetimeFailure::None;
    case DatetimeUnit::Weeks:
    case DatetimeUnit::Days:
    case DatetimeUnit::Hours:
    case DatetimeUnit::Minutes:
    case DatetimeUnit::Seconds:
    case DatetimeUnit::Milliseconds:
    case DatetimeUnit::Microseconds:
    case DatetimeUnit::Nanoseconds:
      break;
    default:
      return DatetimeFailure::Unsupported;
  }
  const InstantUnit& u =
      kInstantUnits[static_cast<size_t>(unit) - static_cast<size_t>(DatetimeUnit::Weeks)];
  if (count < u.min_count || count > u.max_count) return DatetimeFailure::Unrepresentable;
  // Within the limits the product fits in 64 bits; the split into whole
  // seconds and a non-negative remainder never leaves 64 bits either.
  int64_t seconds, nanos = 0;
  if (u.per_second == 1) {
    seconds = count * u.seconds;
  } else {
    seconds = count / u.per_second;
    int64_t rest = count % u.per_second;
    if (rest < 0) {
      seconds -= 1;
      rest += u.per_second;
    }
    nanos = rest * (kNanosPerSecond / u.per_second);
  }
  const int64_t days = floor_div(seconds, kSecondsPerDay);
  const auto time_of_day = static_cast<unsigned>(seconds - days * kSecondsPerDay);
  const CivilDate date = civil_from_days(days);
  out->microsecond = static_cast<uint32_t>(nanos / 1000);
  out->hour = static_cast<uint8_t>(time_of_day / 3600);
  out->minute = static_cast<uint8_t>(time_of_day / 60 % 60);
  out->second = static_cast<uint8_t>(time_of_day % 60);
  out->year = static_cast<uint16_t>(date.year);
  out->month = static_cast<uint8_t>(date.month);
  out->day = static_cast<uint8_t>(date.day);
  return DatetimeFailure::None;
}

PyObject* datetime_error_message(const DatetimeError& error) noexcept {
  const std::string_view head = kFailureHeads[static_cast<size_t>(error.kind)].head;
  const std::string_view name =
      error.unit == DatetimeUnit::Unlisted ? error.unit_text : kUnits[static_cast<size_t>(error.unit)].name;
  // The head, a count (a sign, at most 20 digits and a space), then the name.
  auto* text = static_cast<uint8_t*>(PyMem_Malloc(head.size() + 22 + name.size()));
  if (text == nullptr) return PyErr_NoMemory();
  uint8_t* p = std::copy(head.begin(), head.end(), text);
  if (error.kind == DatetimeFailure::Unrepresentable) {
    auto magnitude = static_cast<uint64_t>(error.count);
    if (error.count < 0) {
      *p++ = '-';
      magnitude = 0 - magnitude;
    }
    p += write_u64_decimal(magnitude, p);
    *p++ = ' ';
  }
  p = std::copy(name.begin(), name.end(), p);
  PyObject* message = build_str(text, static_cast<size_t>(p - text));
  PyMem_Free(text);
  return message;
}

}  // namespace quibex
