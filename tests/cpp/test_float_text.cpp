#include "number/float_text.h"
#include "number/floor_log.h"
#include "serialize/numpy/items.h"
#include "serialize/per_type/float.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quibex {
namespace {

constexpr uint8_t kSentinel = 0xA5;

// Each width's shortest writer, the most bytes it may touch and its plain
// notation range of decimal exponents.
template <class F>
struct Width;
template <>
struct Width<double> {
  static constexpr size_t kSpan = 24;
  static constexpr int kLo = -5, kHi = 15;
  static uint8_t* write(uint8_t* p, double v) { return write_f64_shortest(p, v); }
};
template <>
struct Width<float> {
  static constexpr size_t kSpan = 17;
  static constexpr int kLo = -6, kHi = 12;
  static uint8_t* write(uint8_t* p, float v) { return write_f32_shortest(p, v); }
};

// Our text of v into a sentinel-filled buffer; fails the test if a byte
// outside the width's span was touched. Returns the length, text in `out`.
template <class F>
size_t ours(F v, char* out) {
  uint8_t buf[64];
  std::memset(buf, kSentinel, sizeof buf);
  const size_t n = static_cast<size_t>(Width<F>::write(buf + 8, v) - (buf + 8));
  for (size_t i = 0; i < sizeof buf; ++i) {
    if ((i < 8 || i >= 8 + Width<F>::kSpan) && buf[i] != kSentinel) {
      ADD_FAILURE() << "byte " << i - 8 << " touched for " << std::bit_cast<std::conditional_t<sizeof(F) == 8, uint64_t, uint32_t>>(v);
      break;
    }
  }
  std::memcpy(out, buf + 8, n);
  return n;
}

template <class F>
std::string ours(F v) {
  char text[64];
  return std::string(text, ours(v, text));
}

// The expected text of a finite v, independent of the writers: the digits
// and exponent of std::to_chars' shortest scientific form, laid out by the
// plain/exponent rules with plain string operations.
template <class F>
size_t expected(F v, char* out) {
  char* p = out;
  if (std::signbit(v)) *p++ = '-';
  if (v == 0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<size_t>(p + 3 - out);
  }
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific).ptr;
  char digits[20];
  int n = 0;
  const char* s = sci;
  for (; *s != 'e'; ++s)
    if (*s != '.') digits[n++] = *s;
  int e = 0;
  std::from_chars(s + 1 + (s[1] == '+'), end, e);
  if (Width<F>::kLo <= e && e <= Width<F>::kHi) {
    if (e < 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < -e - 1; ++i) *p++ = '0';
      std::memcpy(p, digits, n);
      p += n;
    } else if (e < n - 1) {
      std::memcpy(p, digits, e + 1);
      p += e + 1;
      *p++ = '.';
      std::memcpy(p, digits + e + 1, n - e - 1);
      p += n - e - 1;
    } else {
      std::memcpy(p, digits, n);
      p += n;
      for (int i = 0; i < e - n + 1; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    }
  } else {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    p = std::to_chars(p, p + 4, e < 0 ? -e : e).ptr;
  }
  return static_cast<size_t>(p - out);
}

template <class F>
std::string expected(F v) {
  char text[64];
  return std::string(text, expected(v, text));
}

// True when our text of v equals the expected one; on a mismatch reports
// both texts (once per test, so a systematic fault does not flood the log).
template <class F>
bool matches(F v) {
  char got[64], want[64];
  const size_t n = ours(v, got);
  const size_t m = expected(v, want);
  if (n == m && std::memcmp(got, want, n) == 0) return true;
  ADD_FAILURE() << "bits " << std::hex << std::bit_cast<std::conditional_t<sizeof(F) == 8, uint64_t, uint32_t>>(v)
                << ": got " << std::string(got, n) << ", want " << std::string(want, m);
  return false;
}

struct F64Case {
  double in;
  std::string_view want;
};
const F64Case kF64[] = {
    {0.0, "0.0"},
    {-0.0, "-0.0"},
    {1.0, "1.0"},
    {-1.0, "-1.0"},
    {0.1, "0.1"},
    {2.0 / 3.0, "0.6666666666666666"},
    {123.456, "123.456"},
    {0.0025, "0.0025"},
    {100.0, "100.0"},
    {1e15, "1000000000000000.0"},
    {999999999999999.9, "999999999999999.9"},
    {1234567890123456.8, "1234567890123456.8"},  // 17 digits, point after the 16th
    {9007199254740992.0, "9007199254740992.0"},
    {9999999999999998.0, "9999999999999998.0"},
    {1e16, "1e+16"},
    {1.5e16, "1.5e+16"},
    {12345678901234567890.0, "1.2345678901234567e+19"},
    {6.02214076e23, "6.02214076e+23"},
    {1e21, "1e+21"},
    {1e100, "1e+100"},
    {1.7976931348623157e308, "1.7976931348623157e+308"},
    {-1.7976931348623157e308, "-1.7976931348623157e+308"},
    {0.0001, "0.0001"},
    {1e-5, "0.00001"},
    {1.2345e-5, "0.000012345"},
    {-1.2345678901234561e-5, "-0.000012345678901234561"},  // the longest text, 24 bytes
    {9.99e-6, "9.99e-6"},
    {1e-6, "1e-6"},
    {1.5e-7, "1.5e-7"},
    {-1e-100, "-1e-100"},
    {2.2250738585072014e-308, "2.2250738585072014e-308"},
    {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
    {5e-324, "5e-324"},
    {1e-323, "1e-323"},  // two steps above zero: the one-digit text, not 9.9e-324
    {5e-323, "5e-323"},
};

TEST(FloatText, DoubleCases) {
  for (const F64Case& c : kF64) EXPECT_EQ(ours(c.in), c.want) << c.want;
}

struct F32Case {
  float in;
  std::string_view want;
};
const F32Case kF32[] = {
    {0.1f, "0.1"},
    {1.0f / 3.0f, "0.33333334"},
    {3.14159265f, "3.1415927"},
    {16777216.0f, "16777216.0"},
    {1e12f, "1000000000000.0"},
    {999999995904.0f, "1000000000000.0"},
    {1e13f, "1e+13"},
    {1e-6f, "0.000001"},
    {1.2e-6f, "0.0000012"},
    {-1.2345678e-6f, "-0.0000012345678"},  // the longest text, 17 bytes
    {1e-7f, "1e-7"},
    {std::numeric_limits<float>::max(), "3.4028235e+38"},
    {std::numeric_limits<float>::min(), "1.1754944e-38"},
    {std::numeric_limits<float>::denorm_min(), "1e-45"},
    {65065.8125f, "65065.812"},
    {65065.9375f, "65065.938"},
    {-0.0f, "-0.0"},
};

TEST(FloatText, SingleCases) {
  for (const F32Case& c : kF32) EXPECT_EQ(ours(c.in), c.want) << c.want;
}

// Boundary sets checked against the oracle: every power of two with its
// neighbours, powers of ten with theirs (the notation switch points), the
// smallest and largest subnormals, the extremes, integers, and short
// decimals read back from text.
template <class F, class Bits>
void check_boundaries(int min_exp, int max_exp, Bits subnormal_top) {
  auto around = [](F v) {
    for (F w : {v, std::nextafter(v, F(0)), std::nextafter(v, std::numeric_limits<F>::infinity())})
      if (std::isfinite(w) && !(matches(w) && matches(-w))) return false;
    return true;
  };
  for (int e = min_exp; e <= max_exp; ++e) ASSERT_TRUE(around(std::ldexp(F(1), e)));
  for (int e = -330; e <= 310; ++e) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", e);
    F v;
    if (std::from_chars(text, text + std::strlen(text), v).ec != std::errc{}) continue;  // beyond the width
    ASSERT_TRUE(around(v)) << text;
  }
  for (Bits t = 1; t < 100000; ++t) ASSERT_TRUE(matches(std::bit_cast<F>(t)));
  for (Bits t = subnormal_top - 1000; t <= subnormal_top + 1000; ++t) ASSERT_TRUE(matches(std::bit_cast<F>(t)));
  ASSERT_TRUE(around(std::numeric_limits<F>::max()));
  std::mt19937_64 rng(99);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t limit = uint64_t{1} << std::numeric_limits<F>::digits;
    ASSERT_TRUE(matches(static_cast<F>(rng() % (limit >> (rng() % std::numeric_limits<F>::digits)))));
    // Integers past the fast path, where rounding bounds often fall exactly
    // on a shorter decimal.
    ASSERT_TRUE(matches(static_cast<F>(rng() >> (rng() % 40))));
  }
  for (int i = 0; i < 300000; ++i) {
    char text[40];
    const int digits = 1 + static_cast<int>(rng() % std::numeric_limits<F>::max_digits10);
    const uint64_t mantissa = rng() % static_cast<uint64_t>(std::pow(10.0, digits));
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(mantissa),
                  static_cast<int>(rng() % 80) - 40);
    F v;
    if (std::from_chars(text, text + std::strlen(text), v).ec != std::errc{}) continue;
    ASSERT_TRUE(matches(v)) << text;
  }
}

TEST(FloatText, DoubleBoundariesMatchOracle) {
  check_boundaries<double, uint64_t>(-1074, 1023, (uint64_t{1} << 52));
}

TEST(FloatText, SingleBoundariesMatchOracle) {
  check_boundaries<float, uint32_t>(-149, 127, (uint32_t{1} << 23));
}

TEST(FloatText, RandomBitPatternsMatchOracle) {
  std::mt19937_64 rng(1234);
  for (int i = 0; i < 2000000; ++i) {
    const uint64_t bits = rng();
    const double d = std::bit_cast<double>(bits);
    if (std::isfinite(d)) {
      ASSERT_TRUE(matches(d));
    }
    const float f = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (std::isfinite(f)) {
      ASSERT_TRUE(matches(f));
    }
  }
}

TEST(FloatText, EverySingleWhenExhaustive) {
  if (std::getenv("QUIBEX_EXHAUSTIVE") == nullptr) GTEST_SKIP() << "set QUIBEX_EXHAUSTIVE=1";
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<uint64_t> failures{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      uint8_t got[32];
      char want[32];
      for (uint64_t bits = t; bits <= UINT32_MAX; bits += threads) {
        const float v = std::bit_cast<float>(static_cast<uint32_t>(bits));
        if (!std::isfinite(v)) continue;
        const size_t n = static_cast<size_t>(write_f32_shortest(got, v) - got);
        const size_t m = expected(v, want);
        if ((n != m || std::memcmp(got, want, n) != 0) && failures++ < 10)
          std::fprintf(stderr, "bits %08llx: got %.*s want %.*s\n", static_cast<unsigned long long>(bits),
                       static_cast<int>(n), got, static_cast<int>(m), want);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  EXPECT_EQ(failures.load(), 0u);
}

// The fixed-point logarithms against long double ones over every exponent
// the writers use (none of these products is near an integer, so the long
// double floor is reliable).
TEST(FloatText, FloorLogarithms) {
  for (int e = -1100; e <= 1100; ++e) {
    ASSERT_EQ(floor_log10_pow2(e), static_cast<int>(std::floor(e * std::log10(2.0L)))) << e;
    ASSERT_EQ(floor_log10_three_quarters_pow2(e), static_cast<int>(std::floor(e * std::log10(2.0L) + std::log10(0.75L))))
        << e;
    ASSERT_EQ(floor_log2_pow10(e), static_cast<int>(std::floor(e * std::log2(10.0L)))) << e;
  }
}

#if QUIBEX_X86
// Both widenings give the same bits for every half; NaNs come out quiet
// with their sign and fraction kept.
TEST(HalfToSingle, VariantsAgreeOnEveryHalf) {
  if (!cpu_has(kNeedsF16c)) GTEST_SKIP() << "no F16C";
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const uint32_t hard = std::bit_cast<uint32_t>(half_to_single_f16c(static_cast<uint16_t>(h)));
    const uint32_t soft = std::bit_cast<uint32_t>(half_to_single_soft(static_cast<uint16_t>(h)));
    ASSERT_EQ(hard, soft) << std::hex << h;
  }
}
#endif

TEST(HalfToSingle, ExactValues) {
  struct Case {
    uint16_t half;
    uint32_t single;
  };
  const Case cases[] = {
      {0x0000, 0x00000000}, {0x8000, 0x80000000}, {0x3C00, 0x3F800000},  // 0, -0, 1
      {0x0001, 0x33800000},                                            // 2^-24, smallest subnormal
      {0x03FF, 0x387FC000},                                            // largest subnormal
      {0x0400, 0x38800000},                                            // 2^-14, smallest normal
      {0x7BFF, 0x477FE000},                                            // 65504
      {0x7C00, 0x7F800000}, {0xFC00, 0xFF800000},                      // infinities
      {0x7C01, 0x7FC02000}, {0xFE00, 0xFFC00000},                      // NaNs made quiet
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::bit_cast<uint32_t>(half_to_single_soft(c.half)), c.single) << std::hex << c.half;
    EXPECT_EQ(std::bit_cast<uint32_t>(half_to_single(c.half)), c.single) << std::hex << c.half;
  }
  for (uint32_t h = 0; h < 0x7C00; ++h)  // every finite positive half against its defining value
    ASSERT_EQ(half_to_single_soft(static_cast<uint16_t>(h)),
              h < 0x400 ? std::ldexp(static_cast<float>(h), -24)
                        : std::ldexp(static_cast<float>((h & 0x3FF) | 0x400), static_cast<int>(h >> 10) - 25));
}

// The value writers need a bytes object to write into.
class ValueWriters : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Py_IsInitialized()) Py_InitializeEx(0);
  }
  void SetUp() override {
    out_ = {1024, 0, reinterpret_cast<PyBytesObject*>(PyBytes_FromStringAndSize(nullptr, 1024))};
  }
  void TearDown() override { Py_XDECREF(reinterpret_cast<PyObject*>(out_.bytes)); }
  // The text written by one call, which must succeed.
  template <class W>
  std::string text(W write) {
    const uint64_t start = out_.length;
    const DumpResult r = write(out_);
    EXPECT_TRUE(r.ok());
    return std::string(out_.bytes->ob_sval + start, out_.length - start);
  }
  // The text that `put` (a put_*_text of the destination) writes.
  template <class P>
  std::string put_text(P put) {
    return text([&](OutputBuffer& o) { return write_value_text(o, put); });
  }
  OutputBuffer out_{};
};

TEST_F(ValueWriters, NonFiniteIsNull) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {inf, -inf, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                   std::bit_cast<double>(uint64_t{0x7FF0000000000001})}) {
    EXPECT_EQ(text([&](OutputBuffer& o) { return write_f64_value(o, v); }), "null");
    EXPECT_EQ(put_text([&](uint8_t* d) { return put_f32_text(d, static_cast<float>(v)); }), "null");
  }
  EXPECT_EQ(text([](OutputBuffer& o) { return write_f64_value(o, -0.0); }), "-0.0");
  EXPECT_EQ(put_text([](uint8_t* d) { return put_f32_text(d, 3.4028235e38f); }), "3.4028235e+38");
}

TEST_F(ValueWriters, HalfCases) {
  struct Case {
    uint16_t half;
    std::string_view want;
  };
  const Case cases[] = {
      {0x2E66, "0.099975586"}, {0x34CD, "0.30004883"}, {0x7BFF, "65504.0"}, {0x4248, "3.140625"},
      {0x0001, "5.9604645e-8"}, {0x8000, "-0.0"},     {0x7C00, "null"},    {0xFC00, "null"},
      {0x7E00, "null"},        {0xFC01, "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(put_text([&](uint8_t* d) { return put_f16_text(d, c.half); }), c.want);
}

TEST_F(ValueWriters, FillTheBufferAcrossGrowth) {
  // Many values in a row cross several growths of the buffer.
  std::string want;
  for (int i = 0; i < 5000; ++i) {
    const double v = std::ldexp(1.0 + i, i % 200 - 100);
    ASSERT_TRUE(write_f64_value(out_, v).ok());
    want += expected(v);
  }
  EXPECT_EQ(std::string(out_.bytes->ob_sval, out_.length), want);
  EXPECT_LT(out_.length, out_.capacity);
}

}  // namespace
}  // namespace quibex
