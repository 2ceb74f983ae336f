#include "ffi/numpy/datetime.h"
#include "serialize/per_type/datetime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace quibex {
namespace {

// The text dumps writes for the count, or the failure.
std::string convert(int64_t count, DatetimeUnit unit, OptionSet options = 0) {
  CivilDateTime v;
  uint8_t text[kTemporalTextCapacity];
  switch (convert_datetime64(count, unit, &v)) {
    case DatetimeFailure::None:
      return std::string(reinterpret_cast<const char*>(text), write_naive_datetime_text(v, options, text));
    case DatetimeFailure::Unsupported: return "unsupported";
    case DatetimeFailure::Unrepresentable: return "unrepresentable";
  }
  return "?";
}

// Every day of the written range against the standard library's calendar.
TEST(Datetime64, EveryDayMatchesChronoCalendar) {
  using namespace std::chrono;
  constexpr int64_t kFirst = -719528, kLast = 2932895;  // 0000-01-01, 9999-12-30
  for (int64_t d = kFirst; d <= kLast; ++d) {
    CivilDateTime v;
    ASSERT_EQ(convert_datetime64(d, DatetimeUnit::Days, &v), DatetimeFailure::None) << d;
    const year_month_day want{sys_days{days{d}}};
    ASSERT_EQ(v.year, static_cast<int>(want.year())) << d;
    ASSERT_EQ(v.month, static_cast<unsigned>(want.month())) << d;
    ASSERT_EQ(v.day, static_cast<unsigned>(want.day())) << d;
  }
  EXPECT_EQ(convert(kFirst - 1, DatetimeUnit::Days), "unrepresentable");
  EXPECT_EQ(convert(kLast + 1, DatetimeUnit::Days), "unrepresentable");
}

struct LimitCase {
  DatetimeUnit unit;
  int64_t lo, hi;
  const char *lo_text, *hi_text;
};
constexpr LimitCase kLimits[] = {
    {DatetimeUnit::Years, -1970, 8029, "0000-01-01T00:00:00", "9999-01-01T00:00:00"},
    {DatetimeUnit::Months, -23640, 96359, "0000-01-01T00:00:00", "9999-12-01T00:00:00"},
    {DatetimeUnit::Weeks, -102789, 418985, "0000-01-06T00:00:00", "9999-12-30T00:00:00"},
    {DatetimeUnit::Days, -719528, 2932895, "0000-01-01T00:00:00", "9999-12-30T00:00:00"},
    {DatetimeUnit::Hours, -17268672, 70389502, "0000-01-01T00:00:00", "9999-12-30T22:00:00"},
    {DatetimeUnit::Minutes, -1036120320, 4223370120, "0000-01-01T00:00:00", "9999-12-30T22:00:00"},
    {DatetimeUnit::Seconds, -62167219200, 253402207200, "0000-01-01T00:00:00", "9999-12-30T22:00:00"},
    {DatetimeUnit::Milliseconds, -62167219200000, 253402207200000, "0000-01-01T00:00:00",
     "9999-12-30T22:00:00"},
    {DatetimeUnit::Microseconds, -62167219200000000, 253402207200000000, "0000-01-01T00:00:00",
     "9999-12-30T22:00:00"},
};

TEST(Datetime64, RangeLimitsPerUnit) {
  for (const LimitCase& c : kLimits) {
    SCOPED_TRACE(static_cast<int>(c.unit));
    EXPECT_EQ(convert(c.lo, c.unit), c.lo_text);
    EXPECT_EQ(convert(c.hi, c.unit), c.hi_text);
    EXPECT_EQ(convert(c.lo - 1, c.unit), "unrepresentable");
    EXPECT_EQ(convert(c.hi + 1, c.unit), "unrepresentable");
    EXPECT_EQ(convert(INT64_MIN, c.unit), "unrepresentable");
    EXPECT_EQ(convert(INT64_MAX, c.unit), "unrepresentable");
  }
  EXPECT_EQ(convert(INT64_MIN, DatetimeUnit::Nanoseconds), "1677-09-21T00:12:43.145224");
  EXPECT_EQ(convert(INT64_MAX, DatetimeUnit::Nanoseconds), "2262-04-11T23:47:16.854775");
}

struct TextCase {
  int64_t count;
  DatetimeUnit unit;
  OptionSet options;
  const char* want;
};
constexpr TextCase kTexts[] = {
    {0, DatetimeUnit::Seconds, 0, "1970-01-01T00:00:00"},
    {-1, DatetimeUnit::Seconds, 0, "1969-12-31T23:59:59"},
    {-1, DatetimeUnit::Nanoseconds, 0, "1969-12-31T23:59:59.999999"},
    {1500, DatetimeUnit::Nanoseconds, 0, "1970-01-01T00:00:00.000001"},
    {999, DatetimeUnit::Nanoseconds, 0, "1970-01-01T00:00:00"},  // below a microsecond: no fraction
    {5, DatetimeUnit::Milliseconds, 0, "1970-01-01T00:00:00.005000"},
    {-1, DatetimeUnit::Milliseconds, 0, "1969-12-31T23:59:59.999000"},
    {123456, DatetimeUnit::Microseconds, OPT_OMIT_MICROSECONDS, "1970-01-01T00:00:00"},
    {0, DatetimeUnit::Seconds, OPT_NAIVE_UTC, "1970-01-01T00:00:00+00:00"},
    {0, DatetimeUnit::Seconds, OPT_NAIVE_UTC | OPT_UTC_Z, "1970-01-01T00:00:00Z"},
    {0, DatetimeUnit::Seconds, OPT_UTC_Z, "1970-01-01T00:00:00"},
    {1, DatetimeUnit::Microseconds, OPT_NAIVE_UTC, "1970-01-01T00:00:00.000001+00:00"},
    {1, DatetimeUnit::Weeks, 0, "1970-01-08T00:00:00"},
    {-1, DatetimeUnit::Weeks, 0, "1969-12-25T00:00:00"},
    {-1, DatetimeUnit::Months, 0, "1969-12-01T00:00:00"},
    {-13, DatetimeUnit::Months, 0, "1968-12-01T00:00:00"},
    {-1, DatetimeUnit::Hours, 0, "1969-12-31T23:00:00"},
    {-1, DatetimeUnit::Minutes, 0, "1969-12-31T23:59:00"},
    {11016 * 86400LL + 12345, DatetimeUnit::Seconds, 0, "2000-02-29T03:25:45"},  // leap day of a 400th year
    {-25508 * 86400LL, DatetimeUnit::Seconds, 0, "1900-03-01T00:00:00"},          // 1900 is not leap
    {-719528 + 59, DatetimeUnit::Days, 0, "0000-02-29T00:00:00"},                 // year 0 is leap
};

TEST(Datetime64, TextAndOptions) {
  for (const TextCase& c : kTexts) EXPECT_EQ(convert(c.count, c.unit, c.options), c.want) << c.count;
}

TEST(Datetime64, UnwrittenUnitsAreUnsupported) {
  for (DatetimeUnit u : {DatetimeUnit::NaT, DatetimeUnit::Picoseconds, DatetimeUnit::Femtoseconds,
                         DatetimeUnit::Attoseconds, DatetimeUnit::Generic, DatetimeUnit::Unlisted}) {
    EXPECT_EQ(convert(0, u), "unsupported");
  }
}

struct UnitCase {
  const char* type_string;
  DatetimeUnit unit;
  const char* text;
};
constexpr UnitCase kUnits[] = {
    {"<M8[Y]", DatetimeUnit::Years, "Y"},          {"<M8[M]", DatetimeUnit::Months, "M"},
    {"<M8[W]", DatetimeUnit::Weeks, "W"},          {"<M8[D]", DatetimeUnit::Days, "D"},
    {"<M8[h]", DatetimeUnit::Hours, "h"},          {"<M8[m]", DatetimeUnit::Minutes, "m"},
    {"<M8[s]", DatetimeUnit::Seconds, "s"},        {"<M8[ms]", DatetimeUnit::Milliseconds, "ms"},
    {"<M8[us]", DatetimeUnit::Microseconds, "us"}, {"<M8[ns]", DatetimeUnit::Nanoseconds, "ns"},
    {"<M8[ps]", DatetimeUnit::Picoseconds, "ps"},  {"<M8[fs]", DatetimeUnit::Femtoseconds, "fs"},
    {"<M8[as]", DatetimeUnit::Attoseconds, "as"},  {"<M8[generic]", DatetimeUnit::Generic, "generic"},
    {">M8[s]", DatetimeUnit::Seconds, "s"},        // the byte order is not examined
    {"<M8", DatetimeUnit::NaT, ""},                // too short to hold a unit
    {"<M8[10ns]", DatetimeUnit::Unlisted, "10ns"}, {"<M8[2D]", DatetimeUnit::Unlisted, "2D"},
    {"<M8[x]", DatetimeUnit::Unlisted, "x"},       {"<M8[]", DatetimeUnit::Unlisted, ""},
};

TEST(Datetime64, UnitFromTypeString) {
  for (const UnitCase& c : kUnits) {
    std::string_view text;
    EXPECT_EQ(parse_datetime_unit(c.type_string, &text), c.unit) << c.type_string;
    EXPECT_EQ(text, c.text) << c.type_string;
  }
}

}  // namespace
}  // namespace quibex
