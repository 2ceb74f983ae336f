// A proleptic Gregorian date and time of day, to the microsecond, without a
// time zone: what the date/time text writer takes, filled from a Python
// datetime's fields or from a numpy datetime64 count.
#pragma once

#include <cstdint>

namespace quibex {

struct CivilDateTime {
  uint16_t year;  // 0 to 9999
  uint8_t month;  // 1 to 12
  uint8_t day;    // 1 to 31
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
  uint32_t microsecond;
};

}  // namespace quibex
