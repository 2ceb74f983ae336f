#include "deserialize/build_str.h"

#include "python_env.h"
#include "support.h"
#include "typeref/cpu.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quibex {
namespace {

class BuildStr : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_support::ensure_python(); }
};

// One builder's result against the interpreter's own decoder: equal text,
// the same (narrowest) kind, a terminating NUL of the kind's width.
void expect_same_str(PyObject* got, PyObject* want, const std::string& utf8) {
  ASSERT_NE(got, nullptr) << utf8;
  EXPECT_EQ(PyUnicode_Compare(got, want), 0) << utf8;
  EXPECT_EQ(PyUnicode_GET_LENGTH(got), PyUnicode_GET_LENGTH(want)) << utf8;
  EXPECT_EQ(PyUnicode_KIND(got), PyUnicode_KIND(want)) << utf8;
  EXPECT_EQ(PyUnicode_IS_ASCII(got), PyUnicode_IS_ASCII(want)) << utf8;
  EXPECT_EQ(PyUnicode_READ(PyUnicode_KIND(got), PyUnicode_DATA(got), PyUnicode_GET_LENGTH(got)), 0u);
}

// Every builder and shape routine this processor runs, on one input.
void expect_builds(const std::string& utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const size_t n = utf8.size();
  Owned want = Owned::steal(PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(n), "strict"));
  ASSERT_TRUE(want) << "test input is not UTF-8";
  for (const auto& variant : kBuildStrVariants) {
    if (!cpu_has(variant.needs)) continue;
    SCOPED_TRACE(variant.name);
    Owned got = Owned::steal(variant.fn(s, n));
    expect_same_str(got.get(), want.get(), utf8);
  }
  const StrShape shape = str_shape_portable(s, n);
  EXPECT_EQ(shape.chars, size_t(PyUnicode_GET_LENGTH(want.get())));
  EXPECT_EQ(shape.maxchar, PyUnicode_MAX_CHAR_VALUE(want.get()) <= 127      ? 127u
                           : PyUnicode_MAX_CHAR_VALUE(want.get()) <= 255    ? 255u
                           : PyUnicode_MAX_CHAR_VALUE(want.get()) <= 0xFFFF ? 0xFFFFu
                                                                            : 0x10FFFFu);
  for (const auto& variant : kStrShapeVariants) {
    if (!cpu_has(variant.needs)) continue;
    const StrShape got = variant.fn(s, n);
    EXPECT_EQ(got.chars, shape.chars) << variant.name;
    EXPECT_EQ(got.maxchar, shape.maxchar) << variant.name;
  }
}

struct KindCase {
  const char* utf8;
  int kind;
  bool ascii;
  Py_ssize_t length;
  const char* why;
};
const KindCase kKinds[] = {
    {"abc", PyUnicode_1BYTE_KIND, true, 3, "ASCII"},
    {"\xC3\xA9", PyUnicode_1BYTE_KIND, false, 1, "U+00E9 fits one byte"},
    {"\xC3\x80\xC3\xBF", PyUnicode_1BYTE_KIND, false, 2, "U+00C0 and U+00FF, lead bytes C3 only"},
    {"\xC2\x80", PyUnicode_1BYTE_KIND, false, 1, "U+0080, the first non-ASCII"},
    {"\xC4\x80", PyUnicode_2BYTE_KIND, false, 1, "U+0100, lead byte C4"},
    {"\xE2\x82\xAC", PyUnicode_2BYTE_KIND, false, 1, "euro sign"},
    {"\xEF\xBF\xBF", PyUnicode_2BYTE_KIND, false, 1, "U+FFFF"},
    {"\xF0\x90\x80\x80", PyUnicode_4BYTE_KIND, false, 1, "U+10000"},
    {"\xF0\x9F\x98\x80", PyUnicode_4BYTE_KIND, false, 1, "emoji"},
};

TEST_F(BuildStr, NarrowestKind) {
  for (const KindCase& c : kKinds) {
    SCOPED_TRACE(c.why);
    const std::string utf8 = c.utf8;
    expect_builds(utf8);
    Owned s = Owned::steal(build_str(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()));
    ASSERT_TRUE(s);
    EXPECT_EQ(int(PyUnicode_KIND(s.get())), c.kind);
    EXPECT_EQ(bool(PyUnicode_IS_ASCII(s.get())), c.ascii);
    EXPECT_EQ(PyUnicode_GET_LENGTH(s.get()), c.length);
  }
}

TEST_F(BuildStr, NulBytesAreCharacters) {
  expect_builds(std::string("a\0b", 3));
  expect_builds(std::string(40, '\0'));
  expect_builds(std::string("\0\xE2\x82\xAC\0", 5));
}

// Each kind's widest character at every position of ASCII padding, over
// lengths that straddle the 16-, 32- and 64-byte steps and their tails.
TEST_F(BuildStr, WideCharacterAtEveryPosition) {
  const std::string wides[] = {"\xC3\xA9", "\xC4\x80", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const std::string& w : wides) {
    for (size_t len = 0; len <= 140; ++len) {
      for (size_t at = 0; at <= len; ++at) {
        std::string s(len, 'x');
        s.insert(at, w);
        expect_builds(s);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

// Random mixtures of all kinds of characters, runs of ASCII included.
TEST_F(BuildStr, RandomMixtures) {
  const std::string pieces[] = {"a", "0123456789abcdef0123", "\xC2\x80", "\xC3\xBF", "\xC4\x80", "\xDF\xBF",
                                "\xE0\xA0\x80", "\xE2\x82\xAC", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                                "\xF4\x8F\xBF\xBF", std::string(1, '\0')};
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    const size_t count = rng() % 120;
    for (size_t k = 0; k < count; ++k) s += pieces[rng() % std::size(pieces)];
    expect_builds(s);
    if (::testing::Test::HasFailure()) return;
  }
}

// Long inputs exercise the per-lane counter flush of the vector shapes
// (every 255 steps of 16 bytes).
TEST_F(BuildStr, LongInputs) {
  std::string s;
  while (s.size() < 20000) s += "\xC3\xA9xyz\xE2\x82\xAC";
  expect_builds(s);
  expect_builds(std::string(5000, 'q') + "\xF0\x9F\x98\x80");
  std::string latin;
  for (int k = 0; k < 2048; ++k) latin += "\xC3\xA9";
  expect_builds(latin);
}

}  // namespace
}  // namespace quibex
