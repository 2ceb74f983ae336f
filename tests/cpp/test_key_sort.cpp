#include "serialize/per_type/key_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace quibex {
namespace {

MemberKey pair_of(const std::string& s) {
  return make_member_key(reinterpret_cast<const uint8_t*>(s.data()), s.size(), 0);
}

int sign(int v) { return (v > 0) - (v < 0); }

struct CompareCase { const char* a; const char* b; int want; };
// Byte order, a proper prefix first; UTF-8 bytes order code points.
constexpr CompareCase kCompare[] = {
    {"", "", 0}, {"", "a", -1}, {"a", "aa", -1}, {"aa", "b", -1}, {"B", "a", -1},
    {"z", "\xC3\xA9", -1},                   // "z" < "é"
    {"\xEF\xBF\xBF", "\xF0\x90\x80\x80", -1},  // U+FFFF < U+10000
    {"abc", "abc", 0}, {"abd", "abc", 1},
};

TEST(KeySort, CompareKeys) {
  for (const CompareCase& c : kCompare) {
    const std::string a = c.a, b = c.b;
    EXPECT_EQ(sign(compare_keys(pair_of(a), pair_of(b))), c.want) << a << " vs " << b;
    EXPECT_EQ(sign(compare_keys(pair_of(b), pair_of(a))), -c.want) << b << " vs " << a;
  }
}

TEST(KeySort, EmbeddedNulBytesCompareByLength) {
  const std::string a("a\0", 2), b("a\0\0", 3), c("a\1", 2);
  EXPECT_LT(compare_keys(pair_of(a), pair_of(b)), 0);
  EXPECT_LT(compare_keys(pair_of(b), pair_of(c)), 0);
}

// The first eight bytes are compared as one zero-padded word: keys over a
// small alphabet with zero bytes, of lengths around that word, against the
// plain definition.
TEST(KeySort, CompareMatchesBytewiseDefinition) {
  std::mt19937 rng(99);
  const char alphabet[] = {'\0', '\1', 'a', '\xff'};
  auto reference = [](const std::string& a, const std::string& b) {
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? sign(c) : sign(static_cast<int>(a.size()) - static_cast<int>(b.size()));
  };
  for (int i = 0; i < 200000; ++i) {
    std::string a(rng() % 19, ' '), b;
    for (char& c : a) c = alphabet[rng() % 4];
    b = a.substr(0, rng() % (a.size() + 1));  // often a prefix, then changed and extended
    if (rng() % 2 && !b.empty()) b[rng() % b.size()] = alphabet[rng() % 4];
    for (size_t k = rng() % 4; k > 0; --k) b += alphabet[rng() % 4];
    ASSERT_EQ(sign(compare_keys(pair_of(a), pair_of(b))), reference(a, b)) << testing::PrintToString(a) << " "
                                                                          << testing::PrintToString(b);
  }
}

// Input shapes that stress run detection and quicksort pivots.
enum class Shape { Ascending, Descending, Random, FewDistinct, AllEqual, Organ, SortedButLast, Sawtooth };

std::vector<std::string> make_keys(Shape shape, size_t n, std::mt19937& rng) {
  std::vector<std::string> keys(n);
  auto key = [](size_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%08zu", v);
    return std::string(buf);
  };
  for (size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Ascending: keys[i] = key(i); break;
      case Shape::Descending: keys[i] = key(n - i); break;
      case Shape::Random: keys[i] = key(rng() % (4 * n + 1)); break;
      case Shape::FewDistinct: keys[i] = key(rng() % 3); break;
      case Shape::AllEqual: keys[i] = "same"; break;
      case Shape::Organ: keys[i] = key(i < n / 2 ? i : n - i); break;
      case Shape::SortedButLast: keys[i] = key(i + 1 == n ? 0 : i + 1); break;
      case Shape::Sawtooth: keys[i] = key(i % 7); break;
    }
  }
  return keys;
}

TEST(KeySort, SortsEveryShapeAndSize) {
  std::mt19937 rng(12345);
  const Shape shapes[] = {Shape::Ascending, Shape::Descending, Shape::Random, Shape::FewDistinct,
                          Shape::AllEqual, Shape::Organ, Shape::SortedButLast, Shape::Sawtooth};
  for (Shape shape : shapes) {
    for (size_t n : {0, 1, 2, 3, 8, 9, 19, 20, 21, 22, 32, 33, 63, 64, 65, 100, 1000, 5000}) {
      const std::vector<std::string> keys = make_keys(shape, n, rng);
      std::vector<MemberKey> pairs;
      for (size_t i = 0; i < n; ++i) {
        pairs.push_back(pair_of(keys[i]));
        pairs.back().index = i + 1;  // identifies the pair
      }
      sort_pairs(pairs.data(), pairs.size());
      std::vector<std::string> want = keys;
      std::sort(want.begin(), want.end());
      std::vector<bool> seen(n + 1, false);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(pairs[i].key), pairs[i].len), want[i])
            << "shape " << static_cast<int>(shape) << " n " << n << " at " << i;
        const auto id = static_cast<size_t>(pairs[i].index);
        ASSERT_FALSE(seen[id]) << "pair duplicated";  // a permutation: every pair kept once
        seen[id] = true;
      }
    }
  }
}

}  // namespace
}  // namespace quibex
