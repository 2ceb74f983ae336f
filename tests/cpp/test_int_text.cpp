#include "number/int_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace quibex {
namespace {

constexpr uint8_t kSentinel = 0xA5;

// Writes v with `write` into a sentinel-filled buffer and returns the text,
// failing if any byte outside the counted digits was touched.
template <class T, class Writer>
std::string written(T v, Writer write) {
  uint8_t buf[48];
  std::memset(buf, kSentinel, sizeof buf);
  const size_t n = write(v, buf + 8);
  for (size_t i = 0; i < sizeof buf; ++i) {
    if (i < 8 || i >= 8 + n) {
      EXPECT_EQ(buf[i], kSentinel) << "byte " << i << " touched for " << v;
    }
  }
  return std::string(reinterpret_cast<char*>(buf + 8), n);
}

std::string u64_text(uint64_t v) { return written(v, write_u64_decimal); }
std::string u32_text(uint32_t v) { return written(v, write_u32_decimal); }

std::string reference(uint64_t v) {
  char buf[24];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

struct U64Case {
  uint64_t in;
  std::string_view want;
};
// Every value where the writers change branch or digit count.
constexpr U64Case kU64[] = {
    {0, "0"},
    {9, "9"},
    {10, "10"},
    {99, "99"},
    {100, "100"},
    {999, "999"},
    {1000, "1000"},
    {9999, "9999"},
    {10000, "10000"},
    {99999999, "99999999"},
    {100000000, "100000000"},
    {1000000000, "1000000000"},
    {4294967295, "4294967295"},
    {4294967296, "4294967296"},
    {9999999999999999, "9999999999999999"},
    {10000000000000000, "10000000000000000"},
    {100000000000000000, "100000000000000000"},
    {1000000000000000000, "1000000000000000000"},
    {10000000000000000000u, "10000000000000000000"},
    {18446744073709551615u, "18446744073709551615"},
};

TEST(IntText, BranchBoundaries) {
  for (const U64Case& c : kU64) {
    EXPECT_EQ(u64_text(c.in), c.want);
    if (c.in <= UINT32_MAX) {
      EXPECT_EQ(u32_text(static_cast<uint32_t>(c.in)), c.want);
    }
  }
}

TEST(IntText, EveryPowerOfTenNeighbourhoodMatchesToChars) {
  for (uint64_t p = 1;; p *= 10) {
    for (uint64_t d = 0; d < 3; ++d) {
      for (const uint64_t v : {p - d, p + d}) {
        EXPECT_EQ(u64_text(v), reference(v));
        if (v <= UINT32_MAX) {
          EXPECT_EQ(u32_text(static_cast<uint32_t>(v)), reference(v));
        }
      }
    }
    if (p > UINT64_MAX / 10) break;
  }
  EXPECT_EQ(u64_text(UINT64_MAX - 1), reference(UINT64_MAX - 1));
  EXPECT_EQ(u32_text(UINT32_MAX - 1), reference(UINT32_MAX - 1));
}

// Random values of every length: a random word shifted right by a random
// count, so that short and long values are equally frequent.
TEST(IntText, RandomValuesMatchToChars) {
  std::mt19937_64 rng(20240501);
  for (int i = 0; i < 2000000; ++i) {
    const uint64_t word = rng();
    const uint64_t v = word >> (word & 63);
    ASSERT_EQ(u64_text(v), reference(v));
    const uint32_t v32 = static_cast<uint32_t>(v >> (v & 31));
    ASSERT_EQ(u32_text(v32), reference(v32));
  }
}

// The eight-digit SSE2 group against a decimal counter, for every value
// below 10^8; ascii16 must agree with it in both halves.
TEST(IntText, EveryEightDigitGroup) {
  char counter[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
  for (uint32_t v = 0; v < 100000000; ++v) {
    alignas(16) char got[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(got), digit_groups::ascii8(v, v % 10));
    if (std::memcmp(got, counter, 8) != 0 || got[8] != static_cast<char>('0' + v % 10) ||
        std::memcmp(got + 9, "0000000", 7) != 0)
      FAIL() << "group " << v << " gave " << std::string(got, 16);
    for (int i = 7; i >= 0 && ++counter[i] > '9'; --i) counter[i] = '0';
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t a = rng() % 100000000, b = rng() % 100000000;
    alignas(16) char got[16], want[17];
    _mm_store_si128(reinterpret_cast<__m128i*>(got), digit_groups::ascii16(a, b));
    std::snprintf(want, sizeof want, "%08u%08u", a, b);
    ASSERT_EQ(std::string(got, 16), std::string(want, 16));
  }
}

TEST(IntText, EveryU32WhenExhaustive) {
  if (std::getenv("QUIBEX_EXHAUSTIVE") == nullptr) GTEST_SKIP() << "set QUIBEX_EXHAUSTIVE=1";
  uint8_t buf[16];
  char want[16];
  for (uint64_t v = 0; v <= UINT32_MAX; ++v) {
    const size_t n = write_u32_decimal(static_cast<uint32_t>(v), buf);
    const char* end = std::to_chars(want, want + sizeof want, v).ptr;
    if (n != static_cast<size_t>(end - want) || std::memcmp(buf, want, n) != 0) FAIL() << v;
  }
}

}  // namespace
}  // namespace quibex
