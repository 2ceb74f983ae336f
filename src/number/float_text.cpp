// Shortest round-trip digits, then the plain or exponent layout.
//
// Two methods, which give the same digits. Most doubles (normal, with a
// rounding interval symmetric about the value, and an exponent whose scale
// the power table holds) go through Dragonbox (Junekey Jeon, "Dragonbox: A
// New Floating-Point Binary-to-Decimal Conversion Algorithm", 2020), which
// needs one 128-bit multiplication in the common case. The others, and all
// singles, go through Schubfach (Raffaello Giulietti, "The Schubfach way to
// render doubles", 2020, in the form of its reference implementation):
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

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace quibex {
namespace {

__extension__ typedef unsigned __int128 u128;

// Indexed by k + 292 for k = -292..324: 10^k as the upper 128 bits of its
// significand normalised to bit 127, rounded down, {high word, low word}.
constexpr uint64_t POW10_128[617][2] = {
#include "number/pow10_128.inc"
};
constexpr int kPow10MinExponent = -292;
static_assert(POW10_128[0 - kPow10MinExponent][0] == uint64_t{1} << 63 && POW10_128[0 - kPow10MinExponent][1] == 0);
static_assert(POW10_128[1 - kPow10MinExponent][0] == uint64_t{10} << 60);

// Indexed by n for n = 0..19: 10^n.
constexpr auto kPow10U64 = [] {
  struct {
    uint64_t values[20];
  } t{};
  t.values[0] = 1;
  for (int n = 1; n < 20; ++n) t.values[n] = t.values[n - 1] * 10;
  return t;
}();
static_assert(kPow10U64.values[19] == 10000000000000000000u);

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

constexpr uint64_t kF64HiddenBit = uint64_t{1} << 52;
constexpr int kF64MinQ = -1074;  // q of the subnormals and of exponent field 1

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
// that lines a significand up with it. Passed by value: in registers, not
// stored for the out-of-line edge cases.
struct Scale {
  uint64_t hi, lo;
  int beta;  // 1 to 4
};

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
[[gnu::noinline]] uint64_t nearest_on_hundred(uint64_t big, uint32_t r, uint32_t deltai, uint64_t two_fc,
                                              Scale s) noexcept {
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

// The rare cases where an endpoint of the interval falls exactly on the
// multiple of 1000 units: the lower one (r == deltai), inside when the
// exact lower bound is not below it (or equal to it for an even c); or the
// upper one (zi exact, r == 0), which only an even c includes.
[[gnu::noinline]] uint64_t dragonbox_endpoint(uint64_t big, uint32_t r, uint32_t deltai, uint64_t c,
                                              Scale s) noexcept {
  const bool even = (c & 1) == 0;
  if (r == deltai) {
    const Parity lower = scaled_parity((c << 1) - 1, s);
    if (lower.odd | (lower.integer & even)) return big * 10;
  } else if (even) {
    return big * 10;
  } else {
    --big;
    r = 1000;
  }
  return nearest_on_hundred(big, r, deltai, c << 1, s);
}

[[gnu::always_inline]] inline Digits17 f64_digits_dragonbox(uint64_t c, int q) noexcept {
  const int minus_k = floor_log10_pow2(q) - kKappa;
  const uint64_t* row = POW10_128[-minus_k - kPow10MinExponent];
  // Rounded up: the table rounds down and is exact for 10^0 to 10^55.
  const u128 up = (static_cast<u128>(row[0]) << 64 | row[1]) + (static_cast<unsigned>(-minus_k) > 55);
  const Scale s{static_cast<uint64_t>(up >> 64), static_cast<uint64_t>(up), q + floor_log2_pow10(-minus_k)};
  const uint32_t deltai = static_cast<uint32_t>(s.hi >> (63 - s.beta));
  const uint64_t x = ((c << 1) | 1) << s.beta;
  const u128 z = static_cast<u128>(x) * s.hi + static_cast<uint64_t>((static_cast<u128>(x) * s.lo) >> 64);
  const uint64_t zi = static_cast<uint64_t>(z >> 64);
  const uint64_t big = zi / 1000;
  const uint32_t r = static_cast<uint32_t>(zi - 1000 * big);
  if ((r == deltai) | ((r == 0) & (static_cast<uint64_t>(z) == 0))) [[unlikely]]
    return split17(pad17_normal({dragonbox_endpoint(big, r, deltai, c, s), minus_k + kKappa}));
  // Both candidates are formed and one is selected by mask: which one wins
  // depends on the value's low bits. The nearest multiple of 10 units is
  // y rounded from dist (meaningful only when the first candidate is out).
  const bool inside = r < deltai;
  uint32_t dist = r - deltai / 2 + 50;
  if (divide_by_100(dist) & !inside) [[unlikely]]
    return split17(pad17_normal({nearest_on_hundred(big, r, deltai, c << 1, s), minus_k + kKappa}));
  // big has 15 or 16 digits (zi is below 10^19 and 2^52 * 100 at least),
  // and the candidate is big followed by the digit `tail`: 16 or 17 digits,
  // without a division.
  const uint32_t tail = inside ? 0 : dist;  // 0 to 9 here
  const bool sixteen = big >= kPow10U64.values[15];
  return {sixteen ? big : big * 10 + tail, sixteen ? tail : 0, minus_k + kKappa + 15 + sixteen};
}

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

// 'e', the sign and |e| without leading zeros (1 to 3 digits).
inline uint8_t* write_exponent(uint8_t* p, int e) noexcept {
  p[0] = 'e';
  p[1] = e < 0 ? '-' : '+';
  const uint32_t a = static_cast<uint32_t>(e < 0 ? -e : e);
  if (a < 10) {
    p[2] = static_cast<uint8_t>('0' + a);
    return p + 3;
  }
  if (a < 100) {
    detail::put_pair(p + 2, a);
    return p + 4;
  }
  p[2] = static_cast<uint8_t>('0' + a / 100);
  detail::put_pair(p + 3, a % 100);
  return p + 5;
}

// Byte masks for a point after e + 1 digits, indexed by e (0 to 15): the
// bytes that stay, the bytes that move up by one, and the point itself.
struct PointMasks {
  alignas(16) uint8_t stay[16][16];
  alignas(16) uint8_t move[16][16];
  alignas(16) uint8_t point[16][16];
};
constexpr PointMasks kPointMasks = [] {
  PointMasks m{};
  for (int e = 0; e < 16; ++e) {
    for (int i = 0; i < 16; ++i) {
      m.stay[e][i] = i <= e ? 0xFF : 0;
      m.move[e][i] = i > e + 1 ? 0xFF : 0;
      m.point[e][i] = i == e + 1 ? '.' : 0;
    }
  }
  return m;
}();
static_assert(kPointMasks.point[0][1] == '.' && kPointMasks.move[13][15] == 0xFF && kPointMasks.move[14][15] == 0 && kPointMasks.stay[15][15] == 0xFF);

// `digits` with '.' after its first e + 1 bytes (e from 0 to 15) and the
// bytes after that moved up by one; the last byte falls off.
inline __m128i insert_point(__m128i digits, int e) noexcept {
  const auto mask = [e](const uint8_t (&rows)[16][16]) { return _mm_load_si128(reinterpret_cast<const __m128i*>(rows[e])); };
  const __m128i stay = _mm_and_si128(mask(kPointMasks.stay), digits);
  const __m128i moved = _mm_and_si128(mask(kPointMasks.move), _mm_slli_si128(digits, 1));
  return _mm_or_si128(_mm_or_si128(stay, moved), mask(kPointMasks.point));
}

// Bit i set where byte i is not '0'.
inline uint32_t nonzero_digits(__m128i digits) noexcept {
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0')))) & 0xFFFF;
}

inline void store16(uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void store8(uint8_t* p, __m128i v) noexcept { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// The text of d's 17 digits at q. Stores stay inside
// q[0, 23): the longest texts, 0.0000ddddddddddddddddd and
// d.ddddddddddddddddde-308, are 23 bytes.
[[gnu::always_inline]] inline uint8_t* format_f64(uint8_t* q, Digits17 d) noexcept {
  const int e = d.exponent;
  const __m128i head = digit_groups::ascii16(static_cast<uint32_t>(d.head / 100000000),
                                             static_cast<uint32_t>(d.head % 100000000));
  const uint8_t last = static_cast<uint8_t>('0' + d.last);
  // The first digit is never '0': the mask is never zero, and no branch for
  // a zero mask is needed.
  const int n = 32 - __builtin_clz(nonzero_digits(head) | (static_cast<uint32_t>(last != '0') << 16));
  if (e < -5 || e > 15) {
    store16(q + 1, head);
    q[0] = static_cast<uint8_t>(_mm_cvtsi128_si32(head));
    q[1] = '.';
    q[17] = last;
    return write_exponent(q + n + (n > 1), e);  // over the point when there is one digit
  }
  if (e < 0) {
    std::memcpy(q, "0.000000", 8);
    store16(q + 1 - e, head);
    q[17 - e] = last;
    return q + 1 - e + n;
  }
  if (e >= n - 1) {  // integral: the padding zeros supply the digits up to the point
    store16(q, head);
    q[e + 1] = '.';
    q[e + 2] = '0';
    return q + e + 3;
  }
  store16(q, insert_point(head, e));
  q[16] = e == 15 ? '.' : static_cast<uint8_t>(_mm_extract_epi16(head, 7) >> 8);
  q[17] = last;
  return q + n + 1;
}

// The same for a single (exactly 9 digits), inside q[0, 16): the longest
// texts, 0.00000ddddddddd and d.ddddddddde-45, are 16 and 15 bytes.
uint8_t* format_f32(uint8_t* q, Padded d) noexcept {
  const uint32_t padded = static_cast<uint32_t>(d.digits);
  const int e = d.exponent;
  const uint8_t last = static_cast<uint8_t>('0' + padded % 10);
  const __m128i digits = digit_groups::ascii8(padded / 10, padded % 10);  // nine digits, then seven '0'
  const int n = 32 - __builtin_clz(nonzero_digits(digits));  // the first digit is never '0'
  if (e < -6 || e > 12) {
    store8(q + 1, digits);
    q[0] = static_cast<uint8_t>(_mm_cvtsi128_si32(digits));
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

uint8_t* write_f64_shortest(uint8_t* dst, double v) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  *dst = '-';
  uint8_t* q = dst + (bits >> 63);  // the sign stays only when set
  if ((bits << 1) == 0) {
    std::memcpy(q, "0.0", 3);
    return q + 3;
  }
  const uint64_t fraction = bits & (kF64HiddenBit - 1);
  const int field = static_cast<int>(bits >> 52) & 0x7FF;
  const uint64_t c = field != 0 ? fraction | kF64HiddenBit : fraction;
  const int binary_exponent = field != 0 ? field - 1075 : kF64MinQ;
  Digits17 d;
  // An integer in [1, 2^52) is its own shortest digit string: its neighbours
  // are at most 1/2 away, so no other integer reads back as it.
  if (binary_exponent < 0 && binary_exponent > -53 && (c << (64 + binary_exponent)) == 0) {
    d = split17(pad<17>({c >> -binary_exponent, 0}));
  } else if (fraction != 0 && binary_exponent >= kDragonboxMinQ) [[likely]] {
    // Dragonbox needs a symmetric interval: not the lower end of a binade.
    d = f64_digits_dragonbox(c, binary_exponent);
  } else {
    const Decimal shortest = f64_decimal(c, binary_exponent);
    d = split17(field != 0 ? pad17_normal(shortest) : pad<17>(shortest));
  }
  return format_f64(q, d);
}

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

float half_to_single_f16c(uint16_t h) noexcept { return _cvtsh_ss(h); }

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
