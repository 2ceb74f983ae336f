// The digits of a double for its text: the forms they take on the way to
// the layout, and Dragonbox's shortest digits (Junekey Jeon, "Dragonbox: A
// New Floating-Point Binary-to-Decimal Conversion Algorithm", 2020), which
// most doubles take, inline. Schubfach, for the other doubles and for
// singles, is in float_text.cpp.
#pragma once

#include "number/floor_log.h"
#include "number/pow10_table.h"

#include <cstdint>

namespace quibex::detail {

__extension__ typedef unsigned __int128 u128;

// value = digits * 10^exponent; digits may end in zeros.
struct Decimal {
  uint64_t digits;
  int exponent;
};

// Number of decimal digits of v > 0: bit_width * 1233 / 4096 is
// floor(bit_width * log10(2)) for every width up to 64, one digit short of
// the answer when v reaches that power of ten.
inline int decimal_length(uint64_t v) noexcept {
  const int guess = ((64 - __builtin_clzll(v)) * 1233) >> 12;  // v > 0: no branch for zero
  return guess + (v >= kPow10U64.values[guess]);
}

// Digits padded with zeros to a fixed count, and the decimal exponent of
// the first digit.
struct Padded {
  uint64_t digits;
  int exponent;
};

template <int kCount>
inline Padded pad(Decimal d) noexcept {
  const int length = decimal_length(d.digits);
  return {d.digits * kPow10U64.values[kCount - length], d.exponent + length - 1};
}

// The digits of a normal double have 16 or 17 digits: s, s + 1 and the
// multiples of ten around s lie in [10^15, 10^17), as s is at least
// c >= 2^52 and below 14c; so do Dragonbox's candidates in 10 units.
inline Padded pad17_normal(Decimal d) noexcept {
  const bool sixteen = d.digits < kPow10U64.values[16];
  return {d.digits * (1 + 9 * sixteen), d.exponent + 16 - sixteen};  // a multiplier, not a branch
}

// Seventeen digits as the first sixteen and the last, and the decimal
// exponent of the first: the layout's input.
struct Digits17 {
  uint64_t head;  // 10^15 <= head < 10^16
  uint32_t last;  // 0 to 9
  int exponent;
};

inline Digits17 split17(Padded d) noexcept {
  return {d.digits / 10, static_cast<uint32_t>(d.digits % 10), d.exponent};
}

constexpr uint64_t kF64HiddenBit = uint64_t{1} << 52;
constexpr int kF64MinQ = -1074;  // q of the subnormals and of exponent field 1

// Dragonbox, for a normal double whose interval is symmetric: zi, the
// interval's upper bound scaled by 10^k so that the interval is deltai
// units wide (100 <= deltai < 1000), comes from one 64 x 128-bit product.
// The multiple of 1000 units at or below zi, when it lies inside the
// interval, gives the shortest digits; otherwise the multiple of 10 units
// nearest to the value does.
constexpr int kKappa = 2;  // the first candidate is a multiple of 10^(kappa + 1) units

// Exponents of the doubles this method handles: the scale 10^(kappa -
// floor_log10_pow2(q)) must be in the table, which ends at 10^324.
constexpr int kDragonboxMinQ = -1069;

// n / 100 for n <= 1000, and whether 100 divides n; 656 = ceil(2^16 / 100).
constexpr bool divide_by_100(uint32_t& n) noexcept {
  n *= 656;
  const bool divisible = (n & 0xFFFF) < 656;
  n >>= 16;
  return divisible;
}
constexpr bool divide_by_100_holds() noexcept {
  for (uint32_t n = 0; n <= 1000; ++n) {
    uint32_t m = n;
    if (divide_by_100(m) != (n % 100 == 0) || m != n / 100) return false;
  }
  return true;
}
static_assert(divide_by_100_holds());

// The scale of one value: 10^k rounded up to 128 bits and the shift beta
// that lines a significand up with it.
struct Scale {
  uint64_t hi, lo;
  int beta;  // 6 to 9
};

// Dragonbox's scaled upper bound of c * 2^q and what the digit choice reads
// from it: zi = 1000 * big + r, and whether zi is exact (no fraction below
// it). Shared by the inline common case and the out-of-line rare ones.
struct DragonboxBound {
  Scale s;
  uint64_t big;    // zi / 1000: 15 or 16 digits (zi is below 10^19 and 2^52 * 100 at least)
  uint32_t r;      // zi % 1000
  uint32_t deltai;
  bool exact;      // the 64 bits below zi are zero
  int exponent;    // decimal exponent of the units of zi
};

// Where Dragonbox's scale of a double is found, by the double's exponent
// field: the row of 10^-minus_k in POW10_128, minus_k = floor_log10_pow2(q) -
// kappa for q = field - 1075, and beta = q + floor_log2_pow10(-minus_k).
struct DragonboxScaleAt {
  uint16_t row;
  uint8_t beta;
  uint8_t round_up;  // 1 when the row, rounded down, is below 10^-minus_k
};
// Indexed by the exponent field, 0 to 2047; the fields below that of
// kDragonboxMinQ and 2047 are never read.
inline constexpr auto kDragonboxScales = [] {
  struct {
    DragonboxScaleAt at[2048];
  } t{};
  for (int field = kDragonboxMinQ + 1075; field < 2047; ++field) {
    const int q = field - 1075;
    const int minus_k = floor_log10_pow2(q) - kKappa;
    const bool exact = -minus_k >= 0 && -minus_k <= 55;  // the rows of 10^0 to 10^55 are exact
    t.at[field] = {static_cast<uint16_t>(-minus_k - kPow10MinExponent),
                   static_cast<uint8_t>(q + floor_log2_pow10(-minus_k)), static_cast<uint8_t>(!exact)};
  }
  return t;
}();
static_assert(kDragonboxScales.at[1075].row == 2 - kPow10MinExponent && kDragonboxScales.at[1075].beta == 6);

[[gnu::always_inline]] inline DragonboxBound dragonbox_bound(uint64_t c, int q) noexcept {
  const DragonboxScaleAt at = kDragonboxScales.at[q + 1075];
  const uint64_t* row = POW10_128[at.row];
  // Rounded up: the table rounds down. The 128-bit sums are carried by
  // hand in 64-bit halves, which the compiler keeps in registers where a
  // 128-bit value would go through the stack in the item loops.
  const uint64_t lo = row[1] + at.round_up;
  const Scale s{row[0] + (lo < at.round_up), lo, at.beta};
  const uint64_t x = ((c << 1) | 1) << s.beta;
  const u128 upper = static_cast<u128>(x) * s.hi;
  const uint64_t cross = static_cast<uint64_t>((static_cast<u128>(x) * s.lo) >> 64);
  const uint64_t below = static_cast<uint64_t>(upper) + cross;  // the 64 bits below zi
  const uint64_t zi = static_cast<uint64_t>(upper >> 64) + (below < cross);
  const uint64_t big = zi / 1000;
  return {s, big, static_cast<uint32_t>(zi - 1000 * big), static_cast<uint32_t>(s.hi >> (63 - s.beta)),
          below == 0, kKappa - kPow10MinExponent - at.row};
}

// The two rare cases of Dragonbox, out of line (float_text.cpp), from c and
// q alone, so that the common case keeps nothing alive for them: an
// endpoint of the interval exactly on the multiple of 1000 units, and the
// value on a multiple of 100 units when that multiple is out.
[[gnu::cold]] Digits17 f64_digits_dragonbox_rare(uint64_t c, int q) noexcept;

// The nearest multiple of 10 units to the value, by rounding dist = r -
// deltai / 2 + 50 down to hundreds: meaningful when the multiple of 1000
// units is out of the interval, and only the digit after big when dist is
// not on a multiple of 100 (the rare case otherwise).
[[gnu::always_inline]] inline Digits17 f64_digits_dragonbox(uint64_t c, int q) noexcept {
  const DragonboxBound b = dragonbox_bound(c, q);
  if ((b.r == b.deltai) | ((b.r == 0) & b.exact)) [[unlikely]]
    return f64_digits_dragonbox_rare(c, q);
  // Both candidates are formed and one is selected by mask: which one wins
  // depends on the value's low bits.
  const bool inside = b.r < b.deltai;
  uint32_t dist = b.r - b.deltai / 2 + 50;
  if (divide_by_100(dist) & !inside) [[unlikely]]
    return f64_digits_dragonbox_rare(c, q);
  // The candidate is big followed by the digit `tail`: 16 or 17 digits,
  // without a division. Whether big has 15 or 16 digits follows the
  // value's leading digits, so the two layouts are selected by mask.
  const uint64_t tail = dist & (static_cast<uint64_t>(inside) - 1);  // 0 to 9 here
  const uint64_t sixteen = 0 - static_cast<uint64_t>(b.big >= kPow10U64.values[15]);
  return {(b.big & sixteen) | ((b.big * 10 + tail) & ~sixteen), static_cast<uint32_t>(tail & sixteen),
          b.exponent + 15 + static_cast<int>(sixteen & 1)};
}

}  // namespace quibex::detail
