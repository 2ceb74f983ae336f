#include "deserialize/reader/big_decimal.h"

#include <algorithm>
#include <cstring>

namespace quibex {
namespace {

// Digits that take part in the comparison: 768 as written, then one digit 1
// standing for any non-zero digits after them. A halfway point between two
// doubles has at most 767 significant digits, so the stand-in never changes
// the outcome of a comparison.
constexpr int kMaxDigits = 768;

// Unsigned integer of up to 64 little-endian 64-bit limbs. The largest value
// compared is below 2^2700 (a 769-digit significand, or 2^55 × 5^1113 for the
// smallest exponents), well inside the 4096 bits.
struct BigInt {
  static constexpr int kLimbs = 64;
  uint64_t limb[kLimbs];
  int size = 0;  // limbs in use; the top one is non-zero

  explicit BigInt(uint64_t v = 0) noexcept {
    limb[0] = v;
    size = v != 0;
  }

  // this = this × m + a
  void mul_add(uint64_t m, uint64_t a) noexcept {
    unsigned __int128 carry = a;
    for (int i = 0; i < size; ++i) {
      carry += static_cast<unsigned __int128>(limb[i]) * m;
      limb[i] = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
    if (carry != 0) limb[size++] = static_cast<uint64_t>(carry);
  }

  void mul_pow5(int64_t e) noexcept {
    constexpr uint64_t kPow5_27 = 7450580596923828125u;  // the largest power of 5 below 2^63
    for (; e >= 27; e -= 27) mul_add(kPow5_27, 0);
    uint64_t rest = 1;
    for (; e > 0; --e) rest *= 5;
    mul_add(rest, 0);
  }

  void shift_left(int64_t bits) noexcept {
    if (size == 0 || bits == 0) return;
    const int words = static_cast<int>(bits / 64);
    const int rem = static_cast<int>(bits % 64);
    if (rem != 0) {
      uint64_t carry = 0;
      for (int i = 0; i < size; ++i) {
        const uint64_t v = limb[i];
        limb[i] = (v << rem) | carry;
        carry = v >> (64 - rem);
      }
      if (carry != 0) limb[size++] = carry;
    }
    if (words != 0) {
      std::memmove(limb + words, limb, sizeof(uint64_t) * size);
      std::fill(limb, limb + words, 0);
      size += words;
    }
  }
};

int compare(const BigInt& a, const BigInt& b) noexcept {
  if (a.size != b.size) return a.size < b.size ? -1 : 1;
  for (int i = a.size - 1; i >= 0; --i) {
    if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
  }
  return 0;
}

// The number as digits × 10^e10, with the power of five it needs prepared.
struct ExactDecimal {
  BigInt digits;
  int64_t e10 = 0;
  BigInt scaled;  // digits × 5^e10 when e10 >= 0, otherwise 5^-e10
};

// Reads up to kMaxDigits significant digits; false when the number is zero.
bool load_digits(const DecimalText& t, ExactDecimal* x) noexcept {
  const uint8_t* ranges[2][2] = {{t.int_begin, t.int_end}, {t.frac_begin, t.frac_end}};
  int taken = 0;
  int64_t dropped = 0;  // significant digits after the taken ones
  bool sticky = false;  // whether any of them is non-zero
  uint64_t chunk = 0;
  int chunk_digits = 0;
  for (auto& range : ranges) {
    for (const uint8_t* p = range[0]; p < range[1]; ++p) {
      const unsigned d = *p - '0';
      if (taken == 0 && d == 0) continue;  // leading zero
      if (taken == kMaxDigits) {
        ++dropped;
        sticky |= d != 0;
        continue;
      }
      chunk = chunk * 10 + d;
      ++taken;
      if (++chunk_digits == 19) {
        x->digits.mul_add(10000000000000000000u, chunk);
        chunk = 0;
        chunk_digits = 0;
      }
    }
  }
  if (taken == 0) return false;
  uint64_t scale = 1;
  for (int i = 0; i < chunk_digits; ++i) scale *= 10;
  x->digits.mul_add(scale, chunk);
  x->e10 = t.exponent - (t.frac_end - t.frac_begin) + dropped;
  if (sticky) {
    x->digits.mul_add(10, 1);
    x->e10 -= 1;
  }
  if (x->e10 >= 0) {
    x->scaled = x->digits;
    x->scaled.mul_pow5(x->e10);
  } else {
    x->scaled = BigInt(1);
    x->scaled.mul_pow5(-x->e10);
  }
  return true;
}

// Sign of x − h × 2^f.
int compare_halfway(const ExactDecimal& x, uint64_t h, int64_t f) noexcept {
  // x = digits × 5^e10 × 2^e10: compare left × 2^e10 with right × 2^f.
  BigInt left = x.e10 >= 0 ? x.scaled : x.digits;
  BigInt right(h);
  if (x.e10 < 0) {
    right = x.scaled;
    right.mul_add(h, 0);
  }
  if (x.e10 > f) {
    left.shift_left(x.e10 - f);
  } else {
    right.shift_left(f - x.e10);
  }
  return compare(left, right);
}

constexpr uint64_t kInfBits = 0x7FF0000000000000u;

// The double with these bits as m × 2^e; the infinity bits decode as 2^1024.
void decode(uint64_t bits, uint64_t* m, int64_t* e) noexcept {
  const uint64_t field = bits >> 52;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  *m = field == 0 ? fraction : fraction | (uint64_t{1} << 52);
  *e = field == 0 ? -1074 : static_cast<int64_t>(field) - 1075;
}

// Sign of x minus the point halfway between the doubles with bits b and b + 1.
int compare_with_halfway_above(const ExactDecimal& x, uint64_t b) noexcept {
  uint64_t m1, m2;
  int64_t e1, e2;
  decode(b, &m1, &e1);
  decode(b + 1, &m2, &e2);
  const int64_t e = std::min(e1, e2);  // the exponents differ by at most one
  return compare_halfway(x, (m1 << (e1 - e)) + (m2 << (e2 - e)), e - 1);
}

}  // namespace

uint64_t round_decimal_exact(const DecimalText& text, uint64_t candidate) noexcept {
  ExactDecimal x;
  if (!load_digits(text, &x)) return 0;
  uint64_t b = candidate;
  for (;;) {
    if (b < kInfBits) {
      const int c = compare_with_halfway_above(x, b);
      if (c > 0) {
        ++b;
        continue;
      }
      if (c == 0) return b + (b & 1);  // tie: the even neighbour
    }
    if (b > 0) {
      const int c = compare_with_halfway_above(x, b - 1);
      if (c < 0) {
        --b;
        continue;
      }
      if (c == 0) return b - (b & 1);
    }
    return b;
  }
}

}  // namespace quibex
