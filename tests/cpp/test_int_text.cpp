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

// Every digit-block variant through one set of entry points. A vector type
// as the template argument loses its alignment attribute there, which no
// use below needs.
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <class Block>
struct BlockOps {
  Block (*ascii8)(uint32_t, uint32_t);
  Block (*ascii16)(uint32_t, uint32_t);
  void (*store16)(uint8_t*, Block);
  uint32_t (*nonzero_digits)(Block);
  Block (*insert_point)(Block, int);
  uint8_t (*last_byte)(Block);
};
#define QUIBEX_BLOCK_OPS(ns)                                                                      \
  BlockOps<ns::Block> {                                                                            \
    [](uint32_t x, uint32_t t) { return ns::ascii8(x, t); }, ns::ascii16, ns::store16, ns::nonzero_digits, \
        ns::insert_point, ns::last_byte                                                            \
  }

// The vector variant of the digit groups that the processor runs, if any.
#if QUIBEX_X86
#define QUIBEX_VECTOR_GROUPS digit_groups::sse2
#elif QUIBEX_NEON
#define QUIBEX_VECTOR_GROUPS digit_groups::neon
#endif

// The 16 bytes each variant's operations give, so that the variants can be
// compared; `text` is 16 digits (as ascii16 writes them) for the block tests.
struct GroupResults {
  std::string ascii8, ascii16, inserted[16];
  uint32_t nonzero;
  uint8_t last;
};
template <class Block>
GroupResults group_results(const BlockOps<Block>& ops, uint32_t x, uint32_t tail, uint32_t a, uint32_t b) {
  GroupResults r;
  uint8_t out[16];
  ops.store16(out, ops.ascii8(x, tail));
  r.ascii8.assign(reinterpret_cast<char*>(out), 16);
  const Block block = ops.ascii16(a, b);
  ops.store16(out, block);
  r.ascii16.assign(reinterpret_cast<char*>(out), 16);
  for (int e = 0; e < 16; ++e) {
    ops.store16(out, ops.insert_point(block, e));
    r.inserted[e].assign(reinterpret_cast<char*>(out), 16);
  }
  r.nonzero = ops.nonzero_digits(block);
  r.last = ops.last_byte(block);
  return r;
}

// Each variant's eight-digit group against a decimal counter, for every
// value below 10^8, alone and as both halves of a sixteen-digit block.
TEST(IntText, EveryEightDigitGroup) {
  namespace dg = digit_groups;
  const auto every_group = [](const auto& ops) {
    char counter[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    for (uint32_t v = 0; v < 100000000; ++v) {
      char got[16], pair[16];
      ops.store16(reinterpret_cast<uint8_t*>(got), ops.ascii8(v, v % 10));
      if (std::memcmp(got, counter, 8) != 0 || got[8] != static_cast<char>('0' + v % 10) ||
          std::memcmp(got + 9, "0000000", 7) != 0)
        FAIL() << "group " << v << " gave " << std::string(got, 16);
      ops.store16(reinterpret_cast<uint8_t*>(pair), ops.ascii16(v, v));
      if (std::memcmp(pair, counter, 8) != 0 || std::memcmp(pair + 8, counter, 8) != 0)
        FAIL() << "block of " << v << " gave " << std::string(pair, 16);
      for (int i = 7; i >= 0 && ++counter[i] > '9'; --i) counter[i] = '0';
    }
  };
  every_group(QUIBEX_BLOCK_OPS(dg::portable));
#ifdef QUIBEX_VECTOR_GROUPS
  every_group(QUIBEX_BLOCK_OPS(QUIBEX_VECTOR_GROUPS));
#endif
}

// Every block operation of each processor's variant against the portable
// one on random groups (with zeros, which the significant-digit masks look
// for), and the portable one against snprintf.
TEST(IntText, DigitBlockVariantsAgree) {
  namespace dg = digit_groups;
  const auto portable = QUIBEX_BLOCK_OPS(dg::portable);
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t x = rng() % 100000000, tail = rng() % 10;
    const uint32_t a = rng() % 100000000, b = (i & 1) ? rng() % 100000000 : (rng() % 100) * 1000000;
    const GroupResults want = group_results(portable, x, tail, a, b);
    char text[17];
    std::snprintf(text, sizeof text, "%08u%08u", a, b);
    ASSERT_EQ(want.ascii16, std::string(text, 16));
    ASSERT_EQ(want.inserted[3], std::string(text, 4) + "." + std::string(text + 4, 11));
    uint32_t nonzero = 0;
    for (int k = 0; k < 16; ++k) nonzero |= uint32_t{text[k] != '0'} << k;
    ASSERT_EQ(want.nonzero, nonzero);
#ifdef QUIBEX_VECTOR_GROUPS
    const GroupResults got = group_results(QUIBEX_BLOCK_OPS(QUIBEX_VECTOR_GROUPS), x, tail, a, b);
    ASSERT_EQ(got.ascii8, want.ascii8) << x;
    ASSERT_EQ(got.ascii16, want.ascii16);
    for (int e = 0; e < 16; ++e) ASSERT_EQ(got.inserted[e], want.inserted[e]) << e;
    ASSERT_EQ(got.nonzero, want.nonzero);
    ASSERT_EQ(got.last, want.last);
#endif
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
