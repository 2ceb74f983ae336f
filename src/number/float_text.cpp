// Shortest round-trip digits of the doubles that Dragonbox (float_digits.h)
// does not take, and of singles, by the Schubfach method (Raffaello
// Giulietti, "The Schubfach way to render doubles", 2020, in the form of its
// reference implementation); Dragonbox's rare cases; the single and half
// writers.
//
// For v = c * 2^q the rounding interval [cbl, cbr] * 2^(q-2) around
// cb * 2^(q-2) = v is scaled by 10^-k, with k chosen so that the interval is
// at least one and less than ten units of 10^k wide. The scaled value and
// bounds are round-to-odd products with a 126-bit approximation of 10^-k,
// which keeps every comparison against a multiple of four exact. The one
// multiple of 10^(k+1) in the interval, if any, gives the shortest digits;
// otherwise the nearer of the two multiples of 10^k around v does.
#include "number/float_text.h"

#include "number/digit_groups.h"
#include "number/floor_log.h"
#include "number/int_text.h"

#if QUIBEX_X86
#include <immintrin.h>
#endif

#include <bit>
#include <cstring>

namespace quibex {
namespace {

using namespace detail;

// The rounding interval of c * 2^q in units of 2^(q-2), and the decimal
// exponent of the grid it is scaled to. `lower_gap_halved`: the fraction
// field is zero and the exponent field above one, so the neighbour below is
// half as far as the one above.
struct Interval {
  uint64_t cbl, cb, cbr;  // 4c - 2 (or 4c - 1), 4c, 4c + 2
  int k;
};

inline Interval interval(uint64_t c, int q, bool lower_gap_halved) noexcept {
  const uint64_t cb = c << 2;
  if (lower_gap_halved) return {cb - 1, cb, cb + 2, floor_log10_three_quarters_pow2(q)};
  return {cb - 2, cb, cb + 2, floor_log10_pow2(q)};
}

// Picks the digits from the scaled bounds (vbl, vb, vbr: round-to-odd values
// of 4 * v * 10^-k and of its interval bounds). The bounds belong to the
// interval exactly when c is even; `odd` excludes them. Every candidate is
// tested and the choice made by selection: which one wins depends on the
// value's low bits, so branches on it would often be mispredicted.
template <class U>
Decimal choose_digits(U vbl, U vb, U vbr, bool odd, int k) noexcept {
  const U lower = vbl + odd;  // 4x lies in the interval when lower <= 4x <= upper
  const U upper = vbr - odd;
  // One digit shorter: the multiples of ten around s = floor(v * 10^-k). At
  // most one lies in the interval, and when one does it is the shortest.
  const U s = vb >> 2;
  const U sp10 = s / 10 * 10;
  const bool up_in = lower <= (sp10 << 2);
  const bool wp_in = ((sp10 + 10) << 2) <= upper;
  const bool shorter = (s >= 10) & (up_in != wp_in);
  // Otherwise s or s + 1: the one inside, or if both are, the nearer to v
  // (the even one on a tie).
  const bool u_in = lower <= (s << 2);
  const bool w_in = ((s + 1) << 2) <= upper;
  const U mid = (s << 2) + 2;
  const bool nearer_up = (vb > mid) | ((vb == mid) & static_cast<bool>(s & 1));
  // Selections by mask: compilers keep conditionals here as branches, which
  // the value's low bits would often send the wrong way.
  const U both = U{0} - static_cast<U>(u_in == w_in);  // both candidates inside, or neither
  const U up = (both & nearer_up) | (~both & w_in);
  const U take_shorter = U{0} - shorter;
  return {((sp10 + 10 * wp_in) & take_shorter) | ((s + up) & ~take_shorter), k};
}

// Round to odd of g * cp / 2^128: the floor, its last bit set when the
// cut-off part is at least 2^-63. With cp doubled this is the reference
// implementation's cut at 2^127 and its test of the 63 bits below the cut;
// the lowest 64 bits of the product are ignored there as here.
inline uint64_t round_to_odd_f64(u128 g, uint64_t cp) noexcept {
  const uint64_t low = static_cast<uint64_t>((static_cast<u128>(static_cast<uint64_t>(g)) * cp) >> 64);
  const u128 t = static_cast<u128>(static_cast<uint64_t>(g >> 64)) * cp + low;
  return static_cast<uint64_t>(t >> 64) | (static_cast<uint64_t>(t) > 1);
}

// Shortest digits of c * 2^q (a double, c > 0).
[[gnu::always_inline]] inline Decimal f64_decimal(uint64_t c, int q) noexcept {
  const Interval iv = interval(c, q, c == kF64HiddenBit && q != kF64MinQ);
  // g = floor(10^-k * 2^(125 - floor_log2_pow10(-k))) + 1, in [2^125, 2^126].
  const uint64_t* row = POW10_128[-iv.k - kPow10MinExponent];
  const u128 g = ((static_cast<u128>(row[0]) << 64 | row[1]) >> 2) + 1;
  const int h = q + floor_log2_pow10(-iv.k) + 3;  // 3 to 6: cp doubled for the cut at 2^128
  return choose_digits<uint64_t>(round_to_odd_f64(g, iv.cbl << h), round_to_odd_f64(g, iv.cb << h),
                                 round_to_odd_f64(g, iv.cbr << h), c & 1, iv.k);
}

struct Parity {
  bool odd;      // the units bit of x * 10^k in the scaled units
  bool integer;  // and no fraction below it
};

// The units bit and integrality of x * 10^k (x an unshifted, doubled
// significand), from the low 128 bits of the product with the scale.
inline Parity scaled_parity(uint64_t x, Scale s) noexcept {
  const uint64_t low = x * s.lo;
  const uint64_t high = x * s.hi + static_cast<uint64_t>((static_cast<u128>(x) * s.lo) >> 64);
  return {((high >> (64 - s.beta)) & 1) != 0, ((high << s.beta) | (low >> (64 - s.beta))) == 0};
}

// The multiple of 10 units nearest to the value y = zi - deltai / 2, from
// zi = 1000 * big + r: on a multiple of 100 units the estimate may be one
// too high, which the parity of y settles, and an exact tie goes to the
// even candidate.
uint64_t nearest_on_hundred(uint64_t big, uint32_t r, uint32_t deltai, uint64_t two_fc, Scale s) noexcept {
  uint32_t dist = r - deltai / 2 + 50;
  const bool approx_odd = ((dist ^ 50) & 1) != 0;
  const bool on_hundred = divide_by_100(dist);
  uint64_t digits = big * 10 + dist;
  if (on_hundred) {
    const Parity y = scaled_parity(two_fc, s);
    if (y.odd != approx_odd || ((digits & 1) & y.integer)) --digits;
  }
  return digits;
}

// The digits in 10 units when an endpoint of the interval falls exactly on
// the multiple of 1000 units: the lower one (r == deltai), inside when the
// exact lower bound is not below it (or equal to it for an even c); or the
// upper one (zi exact, r == 0), which only an even c includes. Otherwise
// the nearest multiple of 10 units.
uint64_t dragonbox_rare_digits(uint64_t c, const DragonboxBound& b) noexcept {
  const bool even = (c & 1) == 0;
  uint64_t big = b.big;
  uint32_t r = b.r;
  if (r == b.deltai) {
    const Parity lower = scaled_parity((c << 1) - 1, b.s);
    if (lower.odd | (lower.integer & even)) return big * 10;
  } else if (r == 0 && b.exact) {
    if (even) return big * 10;
    --big;
    r = 1000;
  }
  return nearest_on_hundred(big, r, b.deltai, c << 1, b.s);
}

}  // namespace

namespace detail {

Digits17 f64_digits_dragonbox_rare(uint64_t c, int q) noexcept {
  const DragonboxBound b = dragonbox_bound(c, q);
  return split17(pad17_normal({dragonbox_rare_digits(c, b), b.exponent}));
}

Digits17 f64_digits_schubfach(uint64_t c, int q, bool normal) noexcept {
  const Decimal shortest = f64_decimal(c, q);
  return split17(normal ? pad17_normal(shortest) : pad<17>(shortest));
}

}  // namespace detail

namespace {

// Round to odd of g * cp / 2^95.
inline uint32_t round_to_odd_f32(uint64_t g, uint64_t cp) noexcept {
  const uint64_t x1 = static_cast<uint64_t>((static_cast<u128>(g) * cp) >> 64);
  return static_cast<uint32_t>(x1 >> 31) | ((x1 & 0x7FFFFFFF) != 0);
}

constexpr uint32_t kF32HiddenBit = uint32_t{1} << 23;
constexpr int kF32MinQ = -149;

// Shortest digits of c * 2^q (a single, c > 0).
Decimal f32_decimal(uint32_t c, int q) noexcept {
  const Interval iv = interval(c, q, c == kF32HiddenBit && q != kF32MinQ);
  // The upper 63 bits of the double writer's g, plus one (the table script
  // checks that the low bits never carry into them).
  const uint64_t g = (POW10_128[-iv.k - kPow10MinExponent][0] >> 1) + 1;
  const int h = q + floor_log2_pow10(-iv.k) + 33;  // 33 to 36
  return choose_digits<uint32_t>(round_to_odd_f32(g, iv.cbl << h), round_to_odd_f32(g, iv.cb << h),
                                 round_to_odd_f32(g, iv.cbr << h), c & 1, iv.k);
}

// The same for a single (exactly 9 digits), inside q[0, 16): the longest
// texts, 0.00000ddddddddd and d.ddddddddde-45, are 16 and 15 bytes.
uint8_t* format_f32(uint8_t* q, Padded d) noexcept {
  const uint32_t padded = static_cast<uint32_t>(d.digits);
  const int e = d.exponent;
  const uint8_t last = static_cast<uint8_t>('0' + padded % 10);
  using namespace digit_groups;
  const Block digits = ascii8(padded / 10, padded % 10);  // nine digits, then seven '0'
  const int n = 32 - __builtin_clz(nonzero_digits(digits));  // the first digit is never '0'
  if (e < -6 || e > 12) {
    store8(q + 1, digits);
    q[0] = first_byte(digits);
    q[1] = '.';
    q[9] = last;
    return write_exponent(q + n + (n > 1), e);
  }
  if (e < 0) {
    std::memcpy(q, "0.000000", 8);
    store8(q + 1 - e, digits);
    q[9 - e] = last;
    return q + 1 - e + n;
  }
  if (e >= n - 1) {
    store16(q, digits);
    q[e + 1] = '.';
    q[e + 2] = '0';
    return q + e + 3;
  }
  store16(q, insert_point(digits, e));
  return q + n + 1;
}

}  // namespace

uint8_t* write_f32_shortest(uint8_t* dst, float v) noexcept {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  *dst = '-';
  uint8_t* q = dst + (bits >> 31);
  if ((bits << 1) == 0) {
    std::memcpy(q, "0.0", 3);
    return q + 3;
  }
  const uint32_t fraction = bits & (kF32HiddenBit - 1);
  const int field = static_cast<int>(bits >> 23) & 0xFF;
  const uint32_t c = field != 0 ? fraction | kF32HiddenBit : fraction;
  const int binary_exponent = field != 0 ? field - 150 : kF32MinQ;
  if (binary_exponent < 0 && binary_exponent > -24 && (c << (32 + binary_exponent)) == 0)
    return format_f32(q, pad<9>({c >> -binary_exponent, 0}));
  return format_f32(q, pad<9>(f32_decimal(c, binary_exponent)));
}

#if QUIBEX_X86
float half_to_single_f16c(uint16_t h) noexcept { return _cvtsh_ss(h); }
#endif

float half_to_single_soft(uint16_t h) noexcept {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  const uint32_t field = (h >> 10) & 0x1F;
  const uint32_t fraction = h & 0x3FF;
  uint32_t bits;
  if (field == 31) {  // infinity, or a NaN made quiet
    bits = sign | 0x7F800000 | (fraction != 0 ? 0x400000 | (fraction << 13) : 0);
  } else if (field != 0) {
    bits = sign | ((field + 112) << 23) | (fraction << 13);
  } else if (fraction == 0) {
    bits = sign;
  } else {
    // Subnormal: move the leading one up to bit 10, lowering the exponent by
    // as many places.
    const int shift = std::countl_zero(fraction) - 21;
    bits = sign | (static_cast<uint32_t>(113 - shift) << 23) | (((fraction << shift) & 0x3FF) << 13);
  }
  return std::bit_cast<float>(bits);
}

}  // namespace quibex
