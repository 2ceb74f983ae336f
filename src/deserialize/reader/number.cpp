#include "deserialize/reader/number.h"

#include "deserialize/reader/big_decimal.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quibex {
namespace {

using namespace number_parts;

// Whether the eight bytes of v (first byte lowest) are all ASCII digits: a
// digit has high nibble 3, and so has it plus 6.
inline bool all_digits8(uint64_t v) noexcept {
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u;
  return ((v & kHigh) | (((v + 0x0606060606060606u) & kHigh) >> 4)) == 0x3333333333333333u;
}

// The value of eight ASCII digits.
inline uint32_t parse_digits8(uint64_t v) noexcept {
  return combine_digits8(v - 0x3030303030303030u);
}

// Eisel–Lemire: rounds w × 10^q (w > 0, kPow5MinQ <= q <= kPow5MaxQ) to the
// bits of a binary64 (kInfBits on overflow) using a 128-bit product. Returns
// false when the product cannot decide the rounding; *bits is then the value
// rounded down, within one unit in the last place.
bool eisel_lemire(uint64_t w, int q, uint64_t* bits) noexcept {
  const int lz = std::countl_zero(w);
  const uint64_t wn = w << lz;
  const U128Words t = pow5_words(q);
  // a = floor(wn × T / 2^64); with 5^q = (T + d) × 2^(floor_log2_pow5(q) - 127),
  // 0 <= d < 1, the value w × 10^q is r × 2^e2 for a real r in [a, a + 2).
  unsigned __int128 a = static_cast<unsigned __int128>(wn) * t.hi;
  a += static_cast<uint64_t>((static_cast<unsigned __int128>(wn) * t.lo) >> 64);
  const int e2 = floor_log2_pow5(q) - 127 + q - lz + 64;
  const int msb = static_cast<int>(a >> 127) ? 127 : 126;  // a >= 2^126
  // Lowest bit of a kept in the result: 53 bits, fewer for subnormals.
  const int lsb = std::max(msb - 52, -1074 - e2);
  if (lsb > 127) {  // below 2^-1074: zero or the smallest subnormal
    *bits = 0;
    return false;
  }
  // lsb >= 74, so the kept bits and the round bit are all in the high word:
  // split a into m (kept), rem (the rest of the high word) and lo.
  const uint64_t hi = static_cast<uint64_t>(a >> 64);
  const uint64_t lo = static_cast<uint64_t>(a);
  const int s = lsb - 64;
  uint64_t m = hi >> s;
  const uint64_t rem = hi & ((uint64_t{1} << s) - 1);
  const uint64_t half = uint64_t{1} << (s - 1);
  // r may exceed a by up to 2: undecided when the halfway point (half, 0)
  // can lie in [a, a + 2), that is when the low part is half or half - 1.
  const bool decided = !((rem == half && lo == 0) || (rem == half - 1 && lo == ~uint64_t{0}));
  m += rem > half || (rem == half && lo != 0);
  int e = lsb + e2;
  if (m == uint64_t{1} << 53) {
    m >>= 1;
    ++e;
  }
  if (e == -1074) {
    *bits = m;  // subnormal, or the smallest normal exponent (m >= 2^52 sets it)
  } else if (e + 1075 >= 2047) {
    *bits = kInfBits;
  } else {
    *bits = (static_cast<uint64_t>(e + 1075) << 52) | (m & ((uint64_t{1} << 52) - 1));
  }
  return decided;
}

// The binary64 nearest to the number of `text`, whose first 19 significant
// digits are w (> 0) and which equals w × 10^e10 when not `truncated`, and
// lies strictly between w × 10^e10 and (w + 1) × 10^e10 otherwise.
// kPow5MinQ <= e10 <= kPow5MaxQ.
double decimal_to_double(uint64_t w, int e10, bool truncated, const DecimalText& text) noexcept {
  // Clinger's fast path: both operands exact, one correctly rounded operation.
  if (!truncated && w <= (uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    const double d = static_cast<double>(w);
    return e10 >= 0 ? d * kExactPow10[e10] : d / kExactPow10[-e10];
  }
  uint64_t bits;
  bool decided = eisel_lemire(w, e10, &bits);
  if (decided && truncated) {
    uint64_t upper;
    decided = eisel_lemire(w + 1, e10, &upper) && upper == bits;
  }
  if (!decided) bits = round_decimal_exact(text, bits);
  return std::bit_cast<double>(bits);
}

}  // namespace

[[gnu::noinline]] const uint8_t* read_number_general(const uint8_t* p, const uint8_t* readable_end,
                                                     DocValue* v, NumberError* error) noexcept {
  const uint8_t* const start = p;
  const bool negative = *p == '-';
  p += negative;
  const uint8_t* const int_begin = p;
  if (!is_digit(*p)) {
    *error = {"no digit after minus sign", p};
    return nullptr;
  }
  uint64_t w = *p++ - '0';
  if (w == 0) {
    if (is_digit(*p)) {
      *error = {"number with leading zero is not allowed", p - 1};
      return nullptr;
    }
  } else {
#pragma GCC unroll 18
    for (int i = 1; i < 19; ++i) {
      if (!is_digit(*p)) break;
      w = w * 10 + (*p++ - '0');
    }
  }

  const uint8_t next = kDigitClass[*p] & kDigitContinue;
  if (next == 0) {  // an integer of at most 19 digits
    set_integer(v, w, negative);
    return p;
  }

  // From here on the number has 20 or more integer digits, a fraction or an
  // exponent. w keeps the first 19 significant digits; the number is
  // w × 10^e10 plus what the dropped digits add (`truncated` when non-zero).
  int64_t e10 = 0;
  bool truncated = false;
  int significant = w == 0 ? 0 : static_cast<int>(p - int_begin);
  if (next & kDigitAny) {
    const uint64_t d = *p - '0';
    const bool fits = w < 1844674407370955161u || (w == 1844674407370955161u && d <= 5);
    if (fits && (kDigitClass[p[1]] & kDigitContinue) == 0) {  // exactly 20 digits within 64 bits
      if (negative) {
        set_real(v, -static_cast<double>(w * 10 + d));
      } else {
        set_unsigned(v, w * 10 + d);
      }
      return p + 1;
    }
    for (; is_digit(*p); ++p) {
      ++e10;
      truncated |= *p != '0';
    }
  }
  const uint8_t* const int_end = p;
  const uint8_t* frac_begin = p;
  const uint8_t* frac_end = p;
  if (*p == '.') {
    ++p;
    if (!is_digit(*p)) {
      *error = {"no digit after decimal point", p};
      return nullptr;
    }
    frac_begin = p;
    if (w == 0) {
      for (; *p == '0'; ++p) --e10;
    }
    for (; significant <= 11 && readable_end - p >= 8 && all_digits8(load64(p)); p += 8) {
      w = w * 100000000 + parse_digits8(load64(p));
      significant += 8;
      e10 -= 8;
    }
    for (; significant < 19 && is_digit(*p); ++p, ++significant, --e10) w = w * 10 + (*p - '0');
    for (; is_digit(*p); ++p) truncated |= *p != '0';
    frac_end = p;
  }
  int64_t exponent = 0;
  bool huge_exponent = false;  // more than 18 significant exponent digits
  if (kDigitClass[*p] & kDigitExp) {
    ++p;
    const bool exp_negative = *p == '-';
    p += (kDigitClass[*p] & (kDigitPlus | kDigitMinus)) != 0;
    if (!is_digit(*p)) {
      *error = {"no digit after exponent sign", p};
      return nullptr;
    }
    while (*p == '0') ++p;
    const uint8_t* const exp_digits = p;
    for (; is_digit(*p); ++p) {
      if (p - exp_digits < 18) exponent = exponent * 10 + (*p - '0');
    }
    huge_exponent = p - exp_digits > 18;
    if (exp_negative) exponent = -exponent;
    if (huge_exponent) exponent = exp_negative ? INT64_MIN / 2 : INT64_MAX / 2;
  }

  const double zero = negative ? -0.0 : 0.0;
  e10 += exponent;
  if (w == 0 || e10 < kPow5MinQ) {  // the number is zero, or below half the smallest subnormal
    set_real(v, zero);
    return p;
  }
  if (e10 > kPow5MaxQ) {
    *error = {"number is infinity when parsed as double", start};
    return nullptr;
  }
  const DecimalText text = {int_begin, int_end, frac_begin, frac_end, exponent};
  const double d = decimal_to_double(w, static_cast<int>(e10), truncated, text);
  if (d == __builtin_inf()) {
    *error = {"number is infinity when parsed as double", start};
    return nullptr;
  }
  set_real(v, negative ? -d : d);
  return p;
}

}  // namespace quibex
