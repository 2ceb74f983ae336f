// Runs one processor variant of a vector routine `iterations` times on a
// fixed input, for instruction counts under an emulator (see
// bench/variant_counts.py): variant_counts ROUTINE VARIANT ITERATIONS.
#include "deserialize/build_str.h"
#include "deserialize/utf8.h"
#include "serialize/per_type/str.h"

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
    std::fprintf(stderr, "usage: %s escape|validate|shape VARIANT ITERATIONS\n", argv[0]);
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
  } else {
    return 2;
  }
  std::printf("%zu\n", sink);
  return 0;
}
