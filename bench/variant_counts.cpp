// Runs one processor variant of a vector routine `iterations` times on a
// fixed input, for instruction counts under an emulator (see
// bench/variant_counts.py): variant_counts ROUTINE VARIANT ITERATIONS.
//
// The string routines pick their variant at run time. The digit groups of
// the integer and float writers are chosen at build time, so `int` and
// `float` run the variant this program was built with: compare a build with
// a build configured with -DQUIBEX_PORTABLE_ONLY=ON (and this file compiled
// with -DQUIBEX_PORTABLE_ONLY). Beside an ARM64 build B (scripts/arm64.sh),
// with ROOT the arm64 root, one command (in bash):
//   aarch64-linux-gnu-g++ -O3 -std=c++20 -flto=auto -Isrc --sysroot=$ROOT
//     -isystem $ROOT/usr/include/python3.11 bench/variant_counts.cpp
//     $B/CMakeFiles/quibex_core.dir/src/{,*/,*/*/}*.o -lpython3.11 -o $B/variant_counts
#include "deserialize/build_str.h"
#include "deserialize/utf8.h"
#include "number/float_text.h"
#include "number/int_text.h"
#include "serialize/per_type/str.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// 4 KiB of string text as documents hold it: mostly ASCII words, some
// accented and CJK characters and emoji, and (for the escaper) a quote,
// a line feed or a tab every few hundred bytes.
std::string sample_text(bool escapes) {
  const char* pieces[] = {"lorem ", "ipsum ", "dolor ", "sit ", "amet, ", "caf\xC3\xA9 ", "\xE6\x97\xA5\xE6\x9C\xAC ",
                          "\xF0\x9F\x98\x80 ", "consectetur ", "adipiscing ", "elit "};
  std::string s;
  unsigned k = 0;
  while (s.size() < 4096) {
    s += pieces[(k * 7) % std::size(pieces)];
    if (escapes && k % 37 == 36) s += "\"\n\t"[k % 3];
    ++k;
  }
  s.resize(4096);
  while ((static_cast<unsigned char>(s.back()) & 0xC0) == 0x80 || static_cast<unsigned char>(s.back()) >= 0xC0)
    s.pop_back();  // end on a whole character
  return s;
}

// 1000 integers, 50 of each length from 1 to 20 digits, and 1000
// doubles spread from 1e-9 to 1e21 (both layouts of float text), from fixed
// seeds.
std::vector<uint64_t> sample_ints() {
  std::vector<uint64_t> v;
  uint64_t x = 0x9E3779B97F4A7C15;
  for (int i = 0; i < 1000; ++i) {
    x = x * 6364136223846793005 + 1442695040888963407;
    const int digits = 1 + i % 20;
    uint64_t low = 1;
    for (int k = 1; k < digits; ++k) low *= 10;
    v.push_back(low + (x >> 1) % (digits == 20 ? UINT64_MAX - low : 9 * low));
  }
  return v;
}
std::vector<double> sample_doubles() {
  std::vector<double> v;
  uint64_t x = 0x2545F4914F6CDD1D;
  for (int i = 0; i < 1000; ++i) {
    x = x * 6364136223846793005 + 1442695040888963407;
    v.push_back(static_cast<double>(x >> 11) * 0x1p-53 * std::pow(10.0, i % 31 - 9));
  }
  return v;
}

// The digit-group variant of this build.
#if QUIBEX_X86
constexpr const char* kDigitGroups = "sse2";
#elif QUIBEX_NEON
constexpr const char* kDigitGroups = "neon";
#else
constexpr const char* kDigitGroups = "portable";
#endif

template <class Fn, size_t N>
Fn find(const quibex::Variant<Fn> (&list)[N], const char* name) {
  for (const auto& v : list) {
    if (std::strcmp(v.name, name) == 0) return v.fn;
  }
  std::fprintf(stderr, "no variant %s\n", name);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s escape|validate|shape|int|float VARIANT ITERATIONS\n", argv[0]);
    return 2;
  }
  const std::string routine = argv[1];
  const long iterations = std::atol(argv[3]);
  const std::string text = sample_text(routine == "escape");
  const auto* src = reinterpret_cast<const uint8_t*>(text.data());
  std::vector<uint8_t> out(8 * text.size() + 32);
  size_t sink = 0;
  if (routine == "escape") {
    const auto fn = find(quibex::kEscapeVariants, argv[2]);
    for (long i = 0; i < iterations; ++i) sink += fn(out.data(), src, text.size());
  } else if (routine == "validate") {
    const auto fn = find(quibex::kValidateUtf8Variants, argv[2]);
    for (long i = 0; i < iterations; ++i) sink += fn(src, text.size());
  } else if (routine == "shape") {
    const auto fn = find(quibex::kStrShapeVariants, argv[2]);
    for (long i = 0; i < iterations; ++i) sink += fn(src, text.size()).chars;
  } else if (routine == "int" || routine == "float") {
    if (std::strcmp(argv[2], kDigitGroups) != 0) {
      std::fprintf(stderr, "this build has the %s digit groups\n", kDigitGroups);
      return 2;
    }
    if (routine == "int") {
      const std::vector<uint64_t> values = sample_ints();
      for (long i = 0; i < iterations; ++i) {
        for (const uint64_t v : values) sink += quibex::write_u64_decimal(v, out.data() + sink % 64);
      }
    } else {
      const std::vector<double> values = sample_doubles();
      for (long i = 0; i < iterations; ++i) {
        for (const double v : values) sink += quibex::write_f64_shortest(out.data() + sink % 64, v) - out.data();
      }
    }
  } else {
    return 2;
  }
  std::printf("%zu\n", sink);
  return 0;
}
