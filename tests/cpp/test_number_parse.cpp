#include "deserialize/reader/number.h"
#include "deserialize/reader/pow5.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quibex {
namespace {

bool exhaustive() {
  const char* v = std::getenv("QUIBEX_EXHAUSTIVE");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

struct Result {
  bool ok;
  DocValue v;
  std::string message;
  size_t error_at;  // offset of the error byte
  size_t end;       // offset past the number
};

using NumberReader = const uint8_t* (*)(const uint8_t*, const uint8_t*, DocValue*, NumberError*);

// Reads the number at the start of `text`, followed by `tail` and the one
// zero byte that ends every text the reader reads, in a buffer that ends
// there, so that a read past it is caught by the sanitizers.
Result parse_with_tail(NumberReader read, std::string_view text, std::string_view tail) {
  const size_t size = text.size() + tail.size() + 1;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
  std::memcpy(buf.get(), text.data(), text.size());
  std::memcpy(buf.get() + text.size(), tail.data(), tail.size());
  buf[size - 1] = 0;
  Result r{};
  NumberError e{};
  const uint8_t* end = read(buf.get(), buf.get() + size, &r.v, &e);
  r.ok = end != nullptr;
  if (r.ok) {
    r.end = static_cast<size_t>(end - buf.get());
  } else {
    r.message = e.message;
    r.error_at = static_cast<size_t>(e.at - buf.get());
  }
  return r;
}

// Reads the number at the start of `text` with the general reader, and with
// read_number at the end of a document and followed by more text (where
// common numbers take a short path); all three must agree.
Result parse(std::string_view text) {
  const Result general = parse_with_tail(read_number_general, text, "");
  for (std::string_view tail : {"", "]                                "}) {
    const Result inner = parse_with_tail(read_number, text, tail);
    EXPECT_EQ(general.ok, inner.ok) << text;
    EXPECT_EQ(general.v.tag, inner.v.tag) << text;
    if (general.ok && inner.ok) {
      EXPECT_EQ(general.v.payload.u, inner.v.payload.u) << text;
      EXPECT_EQ(general.end, inner.end) << text;
    } else {
      EXPECT_EQ(general.message, inner.message) << text;
      EXPECT_EQ(general.error_at, inner.error_at) << text;
    }
  }
  return general;
}

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }

// Checks the reader against strtod (correctly rounded in glibc) for a text
// with a fraction or an exponent.
void expect_matches_strtod(const std::string& text) {
  const double want = std::strtod(text.c_str(), nullptr);
  const Result r = parse(text);
  if (std::isinf(want)) {
    ASSERT_FALSE(r.ok) << text;
    ASSERT_EQ(r.message, "number is infinity when parsed as double") << text;
    ASSERT_EQ(r.error_at, 0u) << text;
    return;
  }
  ASSERT_TRUE(r.ok) << text << ": " << r.message;
  ASSERT_EQ(r.v.tag, kTagReal) << text;
  ASSERT_EQ(r.v.payload.u, bits_of(want)) << text << " got " << r.v.payload.f;
  ASSERT_EQ(r.end, text.size()) << text;
}

TEST(NumberParse, IntegerTypingBoundaries) {
  struct Case {
    std::string_view text;
    uint64_t tag;
    uint64_t payload;  // integer bits, or the bits of the double
  };
  const Case cases[] = {
      {"0", kTagUnsigned, 0},
      {"-0", kTagSigned, 0},
      {"7", kTagUnsigned, 7},
      {"-7", kTagSigned, static_cast<uint64_t>(-7)},
      {"9223372036854775807", kTagUnsigned, 9223372036854775807u},
      {"9223372036854775808", kTagUnsigned, 9223372036854775808u},
      {"-9223372036854775807", kTagSigned, static_cast<uint64_t>(-9223372036854775807)},
      {"-9223372036854775808", kTagSigned, uint64_t{1} << 63},
      {"-9223372036854775809", kTagReal, bits_of(-9223372036854775809.0)},
      {"-9999999999999999999", kTagReal, bits_of(-9999999999999999999.0)},
      {"9999999999999999999", kTagUnsigned, 9999999999999999999u},
      {"10000000000000000000", kTagUnsigned, 10000000000000000000u},
      {"18446744073709551615", kTagUnsigned, 18446744073709551615u},
      {"18446744073709551616", kTagReal, bits_of(18446744073709551616.0)},
      {"18446744073709551620", kTagReal, bits_of(18446744073709551620.0)},
      {"18446744073709551609", kTagUnsigned, 18446744073709551609u},
      {"-18446744073709551615", kTagReal, bits_of(-18446744073709551615.0)},
      {"-10000000000000000000", kTagReal, bits_of(-1e19)},
      {"99999999999999999999", kTagReal, bits_of(1e20)},
      {"123456789012345678901", kTagReal, bits_of(123456789012345678901.0)},
      {"100000000000000000000000000000", kTagReal, bits_of(1e29)},
      {"1.0", kTagReal, bits_of(1.0)},
      {"1e2", kTagReal, bits_of(100.0)},
      {"0e5", kTagReal, bits_of(0.0)},
      {"-0.0", kTagReal, bits_of(-0.0)},
      {"-0e-5", kTagReal, bits_of(-0.0)},
      {"1E+2", kTagReal, bits_of(100.0)},
      {"1e-400", kTagReal, bits_of(0.0)},
      {"-1e-400", kTagReal, bits_of(-0.0)},
      {"1e-99999999999999999999", kTagReal, bits_of(0.0)},
      {"-1e-99999999999999999999", kTagReal, bits_of(-0.0)},
      // A zero significand is zero whatever the exponent.
      {"0e400", kTagReal, bits_of(0.0)},
      {"0.000e99999999999999999999", kTagReal, bits_of(0.0)},
      {"-0e99999999999999999999", kTagReal, bits_of(-0.0)},
      {"1e0000000000000000000000000001", kTagReal, bits_of(10.0)},
      {"1e308", kTagReal, bits_of(1e308)},
      {"2.2250738585072011e-308", kTagReal, bits_of(2.2250738585072011e-308)},
      {"2.2250738585072012e-308", kTagReal, bits_of(2.2250738585072012e-308)},
      {"4.9406564584124654e-324", kTagReal, 1},
      {"2.4703282292062327e-324", kTagReal, 0},  // below half the smallest subnormal
      {"2.4703282292062328e-324", kTagReal, 1},  // above it
      {"1.7976931348623157e308", kTagReal, bits_of(1.7976931348623157e308)},
      {"1.7976931348623158e308", kTagReal, bits_of(1.7976931348623157e308)},
      {"0.1", kTagReal, bits_of(0.1)},
      {"9007199254740993", kTagUnsigned, 9007199254740993u},
      {"9007199254740993.0", kTagReal, bits_of(9007199254740992.0)},  // a tie, to even
      {"9007199254740995.0", kTagReal, bits_of(9007199254740996.0)},
  };
  for (const Case& c : cases) {
    const Result r = parse(c.text);
    ASSERT_TRUE(r.ok) << c.text << ": " << r.message;
    EXPECT_EQ(r.v.tag, c.tag) << c.text;
    EXPECT_EQ(r.v.payload.u, c.payload) << c.text;
    EXPECT_EQ(r.end, c.text.size()) << c.text;
  }
}

TEST(NumberParse, StopsAtTheFirstByteThatCannotContinue) {
  struct Case {
    std::string_view text;
    size_t end;
  };
  const Case cases[] = {{"1,", 1},    {"1-2", 1},   {"1+", 1},      {"-5]", 2},
                        {"1.5e3x", 5}, {"0.0.", 3}, {"1e5.", 3},    {"12345678901234567890123,", 23},
                        {"1ee", -1ul}, {"0x1", 1},  {"1.5E+07}", 7}};
  for (const Case& c : cases) {
    const Result r = parse(c.text);
    if (c.end == -1ul) {
      EXPECT_FALSE(r.ok) << c.text;
      continue;
    }
    ASSERT_TRUE(r.ok) << c.text;
    EXPECT_EQ(r.end, c.end) << c.text;
  }
}

TEST(NumberParse, OverflowIsAnErrorAtTheNumber) {
  for (std::string_view text : {"1e309", "-1e309", "1.7976931348623159e308", "1e400",
                                "179769313486231580793728971405303415079934132710037826936173778980"
                                "444968292764750946649017977587207096330286416692887910946555547851"
                                "940402630657488671505820681908902000708383676273854845817711531764"
                                "475730270069855571366959622842914819860834936475292719074168444365"
                                "510704342711559699508093042880177904174497792.0"}) {
    const Result r = parse(text);
    ASSERT_FALSE(r.ok) << text;
    EXPECT_EQ(r.message, "number is infinity when parsed as double");
    EXPECT_EQ(r.error_at, 0u);
  }
}

// m × 2^e as exact decimal text "digits" "e" exponent.
std::string exact_decimal(uint64_t m, int e) {
  std::vector<uint64_t> limbs;  // base 10^9, little-endian
  for (uint64_t v = m; v != 0; v /= 1000000000) limbs.push_back(v % 1000000000);
  auto multiply = [&limbs](uint64_t k) {
    uint64_t carry = 0;
    for (uint64_t& l : limbs) {
      const uint64_t x = l * k + carry;
      l = x % 1000000000;
      carry = x / 1000000000;
    }
    for (; carry != 0; carry /= 1000000000) limbs.push_back(carry % 1000000000);
  };
  int exp10 = 0;
  if (e >= 0) {
    for (int i = e; i > 0; i -= std::min(i, 29)) multiply(uint64_t{1} << std::min(i, 29));
  } else {
    for (int i = -e; i > 0; i -= std::min(i, 12)) {
      uint64_t p = 1;
      for (int j = 0; j < std::min(i, 12); ++j) p *= 5;
      multiply(p);
    }
    exp10 = e;
  }
  std::string s = std::to_string(limbs.back());
  char chunk[16];
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    std::snprintf(chunk, sizeof chunk, "%09llu", static_cast<unsigned long long>(limbs[i]));
    s += chunk;
  }
  return s + "e" + std::to_string(exp10);
}

// The exact halfway point between the positive finite double with bits b and
// the next one up, as decimal text.
std::string halfway_text(uint64_t b) {
  const uint64_t field = b >> 52, fraction = b & ((uint64_t{1} << 52) - 1);
  const uint64_t m = field == 0 ? fraction : fraction | (uint64_t{1} << 52);
  const int e = field == 0 ? -1074 : static_cast<int>(field) - 1075;
  return exact_decimal(2 * m + 1, e - 1);
}

// Variants of an exact decimal "digits e exp" that sit exactly on it, just
// below, just above, padded to 800 digits and cut short.
std::vector<std::string> neighbours(const std::string& exact) {
  const size_t epos = exact.find('e');
  const std::string digits = exact.substr(0, epos);
  const long exp = std::stol(exact.substr(epos + 1));
  auto with_point = [](const std::string& d, long x) {  // d × 10^x as "d0.d1d2...e.."
    if (d.size() == 1) return d + "e" + std::to_string(x);
    return d.substr(0, 1) + "." + d.substr(1) + "e" + std::to_string(x + static_cast<long>(d.size()) - 1);
  };
  std::vector<std::string> out = {with_point(digits, exp)};
  out.push_back(with_point(digits + "0000000001", exp - 10));  // just above
  std::string below = digits;  // just below: decrement, then a tail of nines
  size_t i = below.size();
  while (i > 0 && below[i - 1] == '0') below[--i] = '9';
  if (i > 0 && !(i == 1 && below[0] == '1')) {
    --below[i - 1];
    out.push_back(with_point(below + "99999", exp - 5));
  }
  if (digits.size() < 800) {
    const size_t pad = 800 - digits.size();
    out.push_back(with_point(digits + std::string(pad, '0'), exp - static_cast<long>(pad)));
    out.push_back(with_point(digits + std::string(pad - 1, '0') + "1", exp - static_cast<long>(pad)));
  }
  for (size_t cut : {17, 18, 19, 20, 21, 40}) {
    if (cut < digits.size()) out.push_back(with_point(digits.substr(0, cut), exp + static_cast<long>(digits.size() - cut)));
  }
  return out;
}

uint64_t random_finite_bits(std::mt19937_64& rng) {
  for (;;) {
    const uint64_t b = rng() & 0x7FFFFFFFFFFFFFFFu;
    if ((b >> 52) != 0x7FF) return b;
  }
}

TEST(NumberParse, HalfwayCasesAgainstStrtod) {
  std::mt19937_64 rng(12345);
  const int rounds = exhaustive() ? 200000 : 3000;
  for (int i = 0; i < rounds; ++i) {
    uint64_t b = random_finite_bits(rng);
    const uint64_t fraction = b & 0x000FFFFFFFFFFFFFu;
    if (i % 4 == 1) b = fraction;                                   // subnormal
    if (i % 4 == 2) b = fraction | (uint64_t{1 + rng() % 3} << 52);      // smallest exponents
    if (i % 4 == 3) b = fraction | (uint64_t{0x7FE - rng() % 3} << 52);  // largest exponents
    for (const std::string& text : neighbours(halfway_text(b))) expect_matches_strtod(text);
  }
}

TEST(NumberParse, BoundariesAgainstStrtod) {
  // Around the smallest subnormal, the subnormal/normal seam, the largest
  // double and the powers of two in between.
  std::vector<uint64_t> bits = {0, 1, 2, 3, 0x000FFFFFFFFFFFFEu, 0x000FFFFFFFFFFFFFu,
                                0x0010000000000000u, 0x0010000000000001u, 0x7FEFFFFFFFFFFFFEu};
  for (uint64_t field = 1; field < 0x7FF; field += 37) bits.push_back(field << 52);
  for (uint64_t b : bits) {
    for (const std::string& text : neighbours(halfway_text(b))) expect_matches_strtod(text);
    for (const std::string& text : neighbours(exact_decimal(b == 0 ? 1 : (b >> 52 ? (b & 0xFFFFFFFFFFFFFu) | (uint64_t{1} << 52) : b),
                                                            b >> 52 ? static_cast<int>(b >> 52) - 1075 : -1074))) {
      expect_matches_strtod(text);
    }
  }
  // The overflow threshold: DBL_MAX plus half an ulp rounds to infinity.
  const std::string threshold = exact_decimal((uint64_t{1} << 54) - 1, 970);
  for (const std::string& text : neighbours(threshold)) expect_matches_strtod(text);
}

// A random decimal: 1 to 30 significant digits, a decimal point somewhere,
// an exponent over the whole range.
std::string random_decimal(std::mt19937_64& rng) {
  std::string d;
  const int n = 1 + static_cast<int>(rng() % 30);
  for (int i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
  if (d[0] == '0') d[0] = '1';
  const int point = static_cast<int>(rng() % (n + 1));
  std::string text = point == 0 ? "0." + d : d.substr(0, point) + (point < n ? "." + d.substr(point) : ".0");
  const int exp = static_cast<int>(rng() % 700) - 360;
  if (rng() % 4 != 0) text += (rng() % 2 ? "e" : "E") + std::to_string(exp);
  return text;
}

TEST(NumberParse, RandomDecimalsAgainstStrtod) {
  std::mt19937_64 rng(987654321);
  const int rounds = exhaustive() ? 20000000 : 1000000;
  for (int i = 0; i < rounds; ++i) expect_matches_strtod(random_decimal(rng));
}

// Every count of integer and fraction digits around the short path's limits
// (eight-digit runs, 19 digits in all, three exponent digits), with random
// digits, signs and exponents.
TEST(NumberParse, DigitLayoutsAgainstStrtod) {
  std::mt19937_64 rng(2024);
  auto digits = [&rng](int n, bool lead) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
    if (lead && n > 1 && d[0] == '0') d[0] = static_cast<char>('1' + rng() % 9);
    return d;
  };
  const char* exponents[] = {"",      "e5",    "E-7",   "e+22",  "e-23",   "e123",
                             "e-300", "e-330", "e308",  "e1234", "e-0001", "e+00300"};
  for (int int_digits = 1; int_digits <= 22; ++int_digits) {
    for (int frac_digits = -1; frac_digits <= 22; ++frac_digits) {  // -1: no fraction
      for (const char* exponent : exponents) {
        for (int k = 0; k < 3; ++k) {
          std::string text = rng() % 2 ? "-" : "";
          text += digits(int_digits, true);
          if (frac_digits >= 0) {
            text += '.';
            text += digits(frac_digits, false);
          }
          text += exponent;
          const Result r = parse(text);
          if (frac_digits > 0 || (*exponent != '\0' && frac_digits < 0)) {
            expect_matches_strtod(text);
          } else if (frac_digits == 0) {
            EXPECT_FALSE(r.ok) << text;
          }
        }
      }
    }
  }
}

// Shortest and 17-digit texts of random doubles, and one digit more or less.
TEST(NumberParse, RandomDoublesRoundTrip) {
  std::mt19937_64 rng(42);
  const int rounds = exhaustive() ? 10000000 : 50000;
  char buf[40];
  for (int i = 0; i < rounds; ++i) {
    const double d = std::bit_cast<double>(random_finite_bits(rng));
    for (int precision : {17, 16, 15}) {
      std::snprintf(buf, sizeof buf, "%.*e", precision - 1, d);
      expect_matches_strtod(buf);
    }
  }
}

TEST(NumberParse, LongMantissas) {
  std::mt19937_64 rng(7);
  const int rounds = exhaustive() ? 100000 : 2000;
  for (int i = 0; i < rounds; ++i) {
    std::string digits(1 + rng() % 1200, '0');
    for (char& c : digits) c = static_cast<char>('0' + rng() % 10);
    digits[0] = static_cast<char>('1' + rng() % 9);
    const int exp = static_cast<int>(rng() % 700) - 360 - static_cast<int>(digits.size());
    expect_matches_strtod(digits + "e" + std::to_string(exp));
    expect_matches_strtod("0." + std::string(rng() % 400, '0') + digits);
  }
}

// The table of powers of five against exact big-integer powers: T is the
// top 128 bits of 5^q (q >= 0), or floor(2^(127 + bits(5^-q)) / 5^-q) (q < 0),
// checked as T × 5^-q <= 2^k < (T + 1) × 5^-q.
TEST(NumberParse, PowerOfFiveTable) {
  using Big = std::vector<uint32_t>;  // little-endian base 2^32
  auto mul = [](Big a, uint64_t k) {
    uint64_t carry = 0;
    for (uint32_t& l : a) {
      const unsigned __int128 x = static_cast<unsigned __int128>(l) * k + carry;
      l = static_cast<uint32_t>(x);
      carry = static_cast<uint64_t>(x >> 32);
    }
    for (; carry != 0; carry >>= 32) a.push_back(static_cast<uint32_t>(carry));
    return a;
  };
  auto bit_length = [](const Big& a) { return 32 * (a.size() - 1) + (32 - std::countl_zero(a.back())); };
  auto bit = [](const Big& a, size_t i) { return i / 32 < a.size() && ((a[i / 32] >> (i % 32)) & 1); };
  auto compare = [](const Big& a, const Big& b) {  // both trimmed
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = a.size(); i-- > 0;)
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
  };
  auto from_words = [](const U128Words& t) {
    return Big{static_cast<uint32_t>(t.lo), static_cast<uint32_t>(t.lo >> 32), static_cast<uint32_t>(t.hi),
               static_cast<uint32_t>(t.hi >> 32)};
  };
  auto mul_big = [&mul](const Big& a, const Big& b) {
    Big r(a.size() + b.size() + 1, 0);
    for (size_t i = 0; i < b.size(); ++i) {
      Big part = mul(a, b[i]);
      uint64_t carry = 0;
      for (size_t j = 0; j < part.size() || carry; ++j) {
        const uint64_t x = uint64_t{r[i + j]} + (j < part.size() ? part[j] : 0) + carry;
        r[i + j] = static_cast<uint32_t>(x);
        carry = x >> 32;
      }
    }
    while (r.size() > 1 && r.back() == 0) r.pop_back();
    return r;
  };
  Big pow{1};
  for (int q = 0; q <= -kPow5MinQ; ++q, pow = mul(pow, 5)) {
    const size_t bits = bit_length(pow);
    EXPECT_EQ(floor_log2_pow5(q), static_cast<int>(bits) - 1) << q;
    if (q <= kPow5MaxQ) {  // T = the top 128 bits of 5^q
      const U128Words t = pow5_words(q);
      for (int i = 0; i < 128; ++i) {
        const bool want = bits >= 128 - static_cast<size_t>(i) ? bit(pow, bits - 128 + i) : false;
        const bool got = i < 64 ? (t.lo >> i) & 1 : (t.hi >> (i - 64)) & 1;
        ASSERT_EQ(got, want) << q << " bit " << i;
      }
    }
    if (q > 0) {  // 5^-q: T × 5^q <= 2^(127 + bits) < (T + 1) × 5^q
      EXPECT_EQ(floor_log2_pow5(-q), -static_cast<int>(bits)) << -q;
      U128Words t = pow5_words(-q);
      Big two_k(1 + (127 + bits) / 32, 0);
      two_k.back() = uint32_t{1} << ((127 + bits) % 32);
      EXPECT_LE(compare(mul_big(from_words(t), pow), two_k), 0) << -q;
      t.lo += 1;
      if (t.lo == 0) t.hi += 1;
      EXPECT_GT(compare(mul_big(from_words(t), pow), two_k), 0) << -q;
    }
  }
}

}  // namespace
}  // namespace quibex
