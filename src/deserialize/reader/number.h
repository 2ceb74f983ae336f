// JSON number text to a Number value: the typing rules and the correctly
// rounded binary64 conversion.
#pragma once

#include "deserialize/reader/char_class.h"
#include "deserialize/reader/doc.h"
#include "deserialize/reader/number_parts.h"

#include <cassert>
#include <cstdint>

namespace quibex {

struct NumberError {
  const char* message;
  const uint8_t* at;  // the byte the error is reported at
};

// Reads the number at `p`, which points at '-' or a digit of a text that is
// followed by a zero byte before `readable_end` (one past the last byte that
// may be read). Writes the value's tag and payload into `*v` and returns
// the pointer past the number; on failure returns null with `*error` filled.
// The byte after the number is left to the caller. This is the general
// path, for any digit count and exponent and every error; read_number below
// takes it for all but the common shapes of numbers.
const uint8_t* read_number_general(const uint8_t* p, const uint8_t* readable_end, DocValue* v,
                                   NumberError* error) noexcept;

// The common shapes take a short path: at most 19 digits in all, an exponent
// of at most four digits, text far enough from the end for eight-byte reads,
// and a value the 128-bit product decides. Everything else, errors
// included, is read again from the start by the general path.
[[gnu::always_inline]] inline const uint8_t* read_number(const uint8_t* p, const uint8_t* readable_end,
                                                         DocValue* v, NumberError* error) noexcept {
  using namespace number_parts;
  const uint8_t* const start = p;
  const bool negative = *p == '-';
  p += negative;
  const uint8_t* const int_begin = p;
  uint64_t w = digit_value(*p);
  if (w > 9) return read_number_general(start, readable_end, v, error);
  ++p;
  if (w != 0) {
    // Integer digits one by one: most are short. More than 19 wrap w and
    // are caught below.
    for (uint64_t d; (d = digit_value(*p)) <= 9; ++p) w = w * 10 + d;
  } else if (digit_value(*p) <= 9) {
    return read_number_general(start, readable_end, v, error);  // a leading zero
  }
  const auto int_digits = static_cast<unsigned>(p - int_begin);
  const uint8_t next = kDigitClass[*p] & (kDigitDot | kDigitExp);
  if (next == 0) {
    if (int_digits > 19) return read_number_general(start, readable_end, v, error);
    set_integer(v, w, negative);
    return p;
  }

  int e10 = 0;
  if (next == kDigitDot) {
    // Fraction digits sixteen at a time, as two words read together: most
    // fractions end within the first word or the second.
    const uint8_t* const frac_begin = ++p;
    for (;;) {
      if (readable_end - p < 16) return read_number_general(start, readable_end, v, error);
      const DigitRun first = digit_run8(p);
      if (first.count < 8) {
        w = w * kPow10U64[first.count] + first.value;
        p += first.count;
        break;
      }
      const DigitRun second = digit_run8(p + 8);
      w = (w * 100000000 + first.value) * kPow10U64[second.count] + second.value;
      p += 8 + second.count;
      if (second.count < 8) break;
    }
    const auto frac_digits = static_cast<unsigned>(p - frac_begin);
    if (frac_digits == 0 || int_digits + frac_digits > 19) {
      return read_number_general(start, readable_end, v, error);
    }
    e10 = -static_cast<int>(frac_digits);
  } else if (int_digits > 19) {
    return read_number_general(start, readable_end, v, error);
  }
  if ((kDigitClass[*p] & kDigitExp) == 0) {
    // A fraction without an exponent: 1 to 19 digits after the point, so
    // 10^e10 is exact or in the table, and the value is zero or normal.
    assert(next == kDigitDot && e10 >= -19 && e10 <= -1);
    double d;
    if (w <= (uint64_t{1} << 53)) {
      d = static_cast<double>(w) / kExactPow10[-e10];
    } else {
      const uint64_t bits = eisel_lemire_normal(w, e10);
      if (bits == 0) return read_number_general(start, readable_end, v, error);
      d = std::bit_cast<double>(bits);
    }
    set_real(v, negative ? -d : d);
    return p;
  }

  // The exponent, after the 'e' or 'E' at p.
  const uint8_t* q = p + 1;
  const bool exp_negative = *q == '-';
  q += (kDigitClass[*q] & (kDigitPlus | kDigitMinus)) != 0;
  // One to four digits (each read follows a digit, so none passes the
  // sentinels); other exponents go the general way.
  const uint8_t* const exp_begin = q;
  int exponent = 0;
  for (uint64_t d; (d = digit_value(*q)) <= 9; ++q) {
    if (q - exp_begin == 4) return read_number_general(start, readable_end, v, error);
    exponent = exponent * 10 + static_cast<int>(d);
  }
  if (q == exp_begin) return read_number_general(start, readable_end, v, error);
  e10 += exp_negative ? -exponent : exponent;
  p = q;

  double d;
  if (w == 0 || e10 < kPow5MinQ) {  // zero, or below half the smallest subnormal
    d = 0.0;
  } else if (w <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    // Clinger's fast path: both operands exact, one correctly rounded operation.
    d = static_cast<double>(w);
    d = e10 >= 0 ? d * kExactPow10[e10] : d / kExactPow10[-e10];
  } else {
    const uint64_t bits = e10 <= kPow5MaxQ ? eisel_lemire_normal(w, e10) : 0;
    if (bits == 0) return read_number_general(start, readable_end, v, error);
    d = std::bit_cast<double>(bits);
  }
  set_real(v, negative ? -d : d);
  return p;
}

}  // namespace quibex
