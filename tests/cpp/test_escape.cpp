// Every string escaper, and each inline path for short strings in front of
// the selected one, against a byte-by-byte reference and each other.
// Every call places the source so that it ends at an inaccessible page and
// the output so that its 8 * n + 32 reserved bytes end at another: a read
// past the source or a store past the reservation faults.
#include "reference_escape.h"
#include "serialize/per_type/str.h"
#include "typeref/cpu.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <utility>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quibex {
namespace {

using testing_support::reference_escape;

// Read-write bytes followed by one inaccessible page.
class GuardedRegion {
 public:
  explicit GuardedRegion(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (size + page - 1) / page * page;
    void* p = mmap(nullptr, size_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    base_ = static_cast<uint8_t*>(p);
    if (mprotect(base_ + size_, page, PROT_NONE) != 0) std::abort();
    page_ = page;
  }
  ~GuardedRegion() { munmap(base_, size_ + page_); }
  GuardedRegion(const GuardedRegion&) = delete;
  GuardedRegion& operator=(const GuardedRegion&) = delete;
  uint8_t* end() const { return base_ + size_; }
  size_t size() const { return size_; }

 private:
  uint8_t* base_;
  size_t size_;
  size_t page_;
};

using ShortPathFn = size_t (*)(uint8_t* dst, const uint8_t* src, size_t n) noexcept;

// The inline paths for short plain strings, each architecture's and the
// portable one.
constexpr std::pair<const char*, ShortPathFn> kShortPaths[] = {
    {"short-portable", portable::quote_short_plain},
#if QUIBEX_X86
    {"short-sse2", sse2::quote_short_plain},
#endif
};

// What write_escaped does: an inline path for short plain strings, then the
// selected escaper for whatever it declines.
template <ShortPathFn Short>
size_t short_path_then_escaper(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  const size_t count = n <= kShortPlainMax ? Short(dst, src, n) : 0;
  return count != 0 ? count : select_variant(kEscapeVariants)(dst, src, n);
}

class Escape : public ::testing::Test {
 protected:
  static constexpr size_t kMaxInput = 4096;

  // The escapers this processor can run, and the inline paths in front of
  // the selected one.
  static std::vector<Variant<EscapeStrFn>> variants() {
    std::vector<Variant<EscapeStrFn>> v;
    for (const auto& e : kEscapeVariants) {
      if (cpu_has(e.needs)) v.push_back(e);
    }
    [&]<size_t... I>(std::index_sequence<I...>) {
      (v.push_back({kShortPaths[I].first, 0, short_path_then_escaper<kShortPaths[I].second>}), ...);
    }(std::make_index_sequence<std::size(kShortPaths)>{});
    return v;
  }

  std::string run(EscapeStrFn fn, std::string_view input) {
    const size_t n = input.size();
    uint8_t* src = src_.end() - n;
    std::memcpy(src, input.data(), n);
    const size_t reserved = 8 * n + 32;
    uint8_t* dst = dst_.end() - reserved;
    std::memset(dst, 0xA5, reserved);  // stale bytes from earlier calls must not matter
    const size_t count = fn(dst, src, n);
    EXPECT_LE(count, 6 * n + 2);
    return std::string(reinterpret_cast<const char*>(dst), count);
  }

  // Every variant agrees with the reference on `input`.
  void check(std::string_view input) {
    const std::string want = reference_escape(input);
    for (const auto& v : variants()) {
      const std::string got = run(v.fn, input);
      if (got != want) {
        ADD_FAILURE() << v.name << " on " << ::testing::PrintToString(std::string(input)) << "\n got "
                      << ::testing::PrintToString(got) << "\nwant " << ::testing::PrintToString(want);
        return;
      }
    }
  }

  GuardedRegion src_{kMaxInput};
  GuardedRegion dst_{8 * kMaxInput + 32};
};

// Printable, non-escaped filler, with multi-byte UTF-8 mixed in.
std::string filler(size_t n) {
  static constexpr std::string_view kText = "abc/\x7f" "def\xc3\xa9xyz \xf0\x9f\x98\x80 ~0123";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kText[i % kText.size()];
  return s;
}

// One quote, backslash, named control, \u control: each escape length and table region.
constexpr char kEscapes[] = {'"', '\\', '\x00', '\n', '\x1f', '\x0b', '\b', '\r'};

TEST_F(Escape, OneEscapeAtEveryPositionOfEveryLength) {
  for (size_t n = 0; n <= 80; ++n) {
    check(filler(n));
    for (size_t pos = 0; pos < n; ++pos) {
      for (char e : kEscapes) {
        std::string s = filler(n);
        s[pos] = e;
        check(s);
      }
    }
  }
}

TEST_F(Escape, ShortPathTakesExactlyThePlainStrings) {
  // Declining a plain string would only cost time; taking one that needs an
  // escape would write it wrong. Every byte value at every position of every
  // length the path handles, the words overlapping or not.
  for (const auto& [name, quote] : kShortPaths) {
    for (size_t n = 0; n <= kShortPlainMax; ++n) {
      const std::string plain = filler(n);
      uint8_t* src = src_.end() - n;
      uint8_t* dst = dst_.end() - (8 * n + 32);
      std::memcpy(src, plain.data(), n);
      EXPECT_EQ(quote(dst, src, n), n + 2) << name << " n=" << n;
      for (size_t pos = 0; pos < n; ++pos) {
        for (int b = 0; b < 256; ++b) {
          src[pos] = static_cast<uint8_t>(b);
          const bool needs_escape = b < 0x20 || b == '"' || b == '\\';
          EXPECT_EQ(quote(dst, src, n) == 0, needs_escape) << name << " n=" << n << " pos=" << pos << " b=" << b;
        }
        src[pos] = static_cast<uint8_t>(plain[pos]);
      }
    }
  }
}

TEST_F(Escape, TwoEscapesAtEveryPairOfPositions) {
  // A block is reloaded after each escape; the tail moves the bytes after one.
  for (size_t n = 2; n <= 70; ++n) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        std::string s = filler(n);
        s[i] = '"';
        s[j] = '\x01';
        check(s);
      }
    }
  }
}

TEST_F(Escape, EscapesOnBlockBoundariesOfLongerStrings) {
  constexpr size_t kLengths[] = {95, 96, 97, 127, 128, 129, 255, 256, 257, 1000, kMaxInput};
  for (size_t n : kLengths) {
    for (size_t block = 0; block <= n; block += 16) {
      for (size_t pos : {block - 1, block, block + 1}) {
        if (pos >= n) continue;  // also skips the wrapped block - 1 of block 0
        for (char e : {'"', '\x00'}) {
          std::string s = filler(n);
          s[pos] = e;
          check(s);
        }
      }
    }
  }
}

TEST_F(Escape, EveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    all += c;
    check(std::string(1, c));
    check(std::string(40, c));  // a whole string of it: dense escapes across blocks
    for (size_t n : {15, 16, 17, 31, 32, 33, 48}) {
      for (size_t pos : {size_t{0}, n / 2, n - 1}) {
        std::string s = filler(n);
        s[pos] = c;
        check(s);
      }
    }
  }
  check(all);
  check(std::string(all.rbegin(), all.rend()));
}

TEST_F(Escape, DenseEscapesFillTheWorstCase) {
  // Every byte a six-byte escape: the output is 6 * n + 2 bytes.
  for (size_t n : std::array<size_t, 10>{0, 1, 15, 16, 17, 31, 32, 33, 100, kMaxInput}) {
    const std::string s(n, '\0');
    for (const auto& v : variants()) EXPECT_EQ(run(v.fn, s).size(), 6 * n + 2) << v.name << " n=" << n;
    check(s);
  }
}

TEST_F(Escape, RandomStrings) {
  std::mt19937_64 rng(0x5eed);
  // Alphabets from sparse to dense escapes, and arbitrary bytes.
  const std::string plain = filler(64);
  const std::string escapes(kEscapes, sizeof kEscapes);
  const int kCount = std::getenv("QUIBEX_EXHAUSTIVE") ? 3'000'000 : 300'000;
  for (int k = 0; k < kCount; ++k) {
    const size_t n = rng() % 4 == 0 ? rng() % 400 : rng() % 70;
    const unsigned escape_per_mille = std::array{0u, 10u, 100u, 500u}[rng() % 4];
    const bool arbitrary = rng() % 8 == 0;
    std::string s(n, ' ');
    for (char& c : s) {
      if (arbitrary) c = static_cast<char>(rng());
      else if (rng() % 1000 < escape_per_mille) c = escapes[rng() % escapes.size()];
      else c = plain[rng() % plain.size()];
    }
    check(s);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quibex
