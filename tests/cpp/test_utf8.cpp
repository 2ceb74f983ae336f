#include "deserialize/utf8.h"

#include "typeref/cpu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace quibex {
namespace {

// Independent oracle: decodes code points and checks them against the
// ranges a sequence of each length may encode.
size_t reference_prefix(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t b = s[i];
    size_t len;
    uint32_t cp, min;
    if (b < 0x80) { len = 1; cp = b; min = 0; }
    else if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; min = 0x80; }
    else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; min = 0x800; }
    else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; min = 0x10000; }
    else return i;
    if (n - i < len) return i;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += len;
  }
  return n;
}

// Checks every validator this processor runs against the oracle.
void expect_verdict(const std::vector<uint8_t>& v) {
  const bool want = reference_prefix(v.data(), v.size()) == v.size();
  ASSERT_EQ(validate_utf8_scalar(v.data(), v.size()) == v.size(), want) << testing::PrintToString(v);
  for (const auto& variant : kValidateUtf8Variants) {
    if (!cpu_has(variant.needs)) continue;
    ASSERT_EQ(variant.fn(v.data(), v.size()), want) << variant.name << " " << testing::PrintToString(v);
  }
}

// The validators other than the scalar routine that this processor runs.
std::vector<Variant<ValidateUtf8Fn>> vector_validators() {
  std::vector<Variant<ValidateUtf8Fn>> list;
  for (const auto& variant : kValidateUtf8Variants) {
    if (variant.fn != validate_utf8_portable && cpu_has(variant.needs)) list.push_back(variant);
  }
  return list;
}

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

struct Case {
  std::string_view text;
  bool valid;
  const char* why;
};
const Case kCases[] = {
    {"", true, "empty input"},
    {"\xC3\xA9", true, "e acute"},
    {std::string_view("\x00", 1), true, "NUL is a character"},
    {"\xF4\x8F\xBF\xBF", true, "U+10FFFF"},
    {"\xEF\xBF\xBF", true, "U+FFFF"},
    {"\xED\x9F\xBF", true, "U+D7FF, last before the surrogates"},
    {"\xC0\x80", false, "overlong NUL"},
    {"\xC1\xBF", false, "overlong 2-byte"},
    {"\xE0\x80\x80", false, "overlong 3-byte"},
    {"\xE0\x9F\xBF", false, "overlong 3-byte, top"},
    {"\xF0\x80\x80\x80", false, "overlong 4-byte"},
    {"\xF0\x8F\xBF\xBF", false, "overlong 4-byte, top"},
    {"\xED\xA0\x80", false, "high surrogate"},
    {"\xED\xBF\xBF", false, "low surrogate"},
    {"\xF4\x90\x80\x80", false, "above U+10FFFF"},
    {"\xF5\x80\x80\x80", false, "F5 lead"},
    {"\xFF", false, "FF"},
    {"\x80", false, "lone continuation"},
    {"a\xC3", false, "2-byte lead cut off at the end"},
    {"\xE2\x82", false, "3-byte sequence cut off"},
    {"\xF0\x9F\x98", false, "4-byte sequence cut off"},
    {"\xC3\xA9\xA9", false, "one continuation too many"},
    {"\xE2\x28\xA1", false, "ASCII where a continuation belongs"},
};

TEST(Utf8, CaseTable) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const auto v = bytes(c.text);
    ASSERT_EQ(reference_prefix(v.data(), v.size()) == v.size(), c.valid);
    expect_verdict(v);
  }
}

// Every string of one, two and three bytes. The 3-byte sweep (16.7 million
// inputs) is the slow part; it runs by default because it covers every
// lead/continuation pairing the tables encode.
TEST(Utf8, AllShortStrings) {
  const auto validators = vector_validators();
  std::vector<uint8_t> v;
  for (int len = 1; len <= 3; ++len) {
    v.assign(len, 0);
    const uint32_t total = 1u << (8 * len);
    for (uint32_t x = 0; x < total; ++x) {
      for (int k = 0; k < len; ++k) v[k] = uint8_t(x >> (8 * k));
      const size_t want = reference_prefix(v.data(), v.size());
      ASSERT_EQ(validate_utf8_scalar(v.data(), v.size()), want) << testing::PrintToString(v);
      for (const auto& variant : validators) {
        ASSERT_EQ(variant.fn(v.data(), v.size()), want == v.size()) << variant.name << " " << testing::PrintToString(v);
      }
    }
  }
}

// Every well-formed sequence of each length, and one ill-formed sequence,
// placed across each position of the boundary between two 64-byte blocks
// and cut off by the end of the input (including at lengths that are
// multiples of 64).
TEST(Utf8, SequencesAroundBlockEdges) {
  const std::string_view seqs[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
                                   "\xED\xA0\x80"};
  for (std::string_view seq : seqs) {
    for (size_t total : {64u, 128u, 192u}) {
      for (size_t at = total > 70 ? total - 70 : 0; at + seq.size() <= total; ++at) {
        std::vector<uint8_t> v(total, 'x');
        std::copy(seq.begin(), seq.end(), v.begin() + at);
        expect_verdict(v);
        // The same input cut inside the sequence.
        for (size_t cut = 1; cut < seq.size(); ++cut) {
          expect_verdict(std::vector<uint8_t>(v.begin(), v.begin() + at + cut));
        }
      }
    }
  }
}

TEST(Utf8, LongAsciiWithOneBadByteAtTheEnd) {
  std::vector<uint8_t> v(100000, 'a');
  expect_verdict(v);
  v.back() = 0xFF;
  expect_verdict(v);
  EXPECT_EQ(validate_utf8_scalar(v.data(), v.size()), v.size() - 1);
}

// Random mixtures of valid sequences, mostly, with an occasional bad byte,
// at every alignment of the start (the scalar routine aligns its word reads).
TEST(Utf8, RandomMixtures) {
  const auto validators = vector_validators();
  const std::string_view pieces[] = {"a", "0123456789abcdef", "\xC3\xA9", "\xDF\xBF", "\xE0\xA0\x80",
                                     "\xE2\x82\xAC", "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80",
                                     "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF"};
  const uint8_t bad[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF};
  std::mt19937_64 rng(12345);
  const int rounds = std::getenv("QUIBEX_EXHAUSTIVE") ? 200000 : 20000;
  std::vector<uint8_t> buf;
  for (int r = 0; r < rounds; ++r) {
    buf.assign(rng() % 8, 'p');  // shifts the start off alignment
    const size_t pieces_wanted = rng() % 80;
    for (size_t k = 0; k < pieces_wanted; ++k) {
      if (rng() % 200 == 0) {
        buf.push_back(bad[rng() % std::size(bad)]);
      } else {
        const std::string_view p = pieces[rng() % std::size(pieces)];
        buf.insert(buf.end(), p.begin(), p.end());
      }
    }
    const size_t offset = rng() % 8;
    const uint8_t* s = buf.data() + std::min(offset, buf.size());
    const size_t n = buf.size() - std::min(offset, buf.size());
    const size_t want = reference_prefix(s, n);
    ASSERT_EQ(validate_utf8_scalar(s, n), want);
    for (const auto& variant : validators) ASSERT_EQ(variant.fn(s, n), want == n) << variant.name;
  }
}

}  // namespace
}  // namespace quibex
