// Exact rounding of decimal text to binary64 by big-integer comparison: the
// slow path of the number reader, taken when the 128-bit product cannot
// decide the rounding.
#pragma once

#include <cstdint>

namespace quibex {

// The digits of a number as they appear in the text: integer digits, optional
// fraction digits (empty range when absent) and the exponent's value; the
// number is (integer digits . fraction digits) × 10^exponent.
struct DecimalText {
  const uint8_t* int_begin;
  const uint8_t* int_end;
  const uint8_t* frac_begin;
  const uint8_t* frac_end;
  int64_t exponent;
};

// Bits of the binary64 nearest to the (non-negative) number, ties to even;
// 0x7FF0000000000000 when it rounds to infinity. `candidate` must be within
// one unit in the last place of the result. The number must lie between
// 10^-344 and 10^328 (the reader's cut-offs keep it there) or be 0.
uint64_t round_decimal_exact(const DecimalText& text, uint64_t candidate) noexcept;

}  // namespace quibex
