// The string escapers on arbitrary bytes: the SSE2 and AVX-512 variants
// write the same text, which is the escaped form written the obvious way,
// and the inline short-string path agrees whenever it takes a string. Output
// goes to a heap block of exactly the reserved 8 * n + 32 bytes, so a store
// past it is a sanitizer report.
#include "harness.h"
#include "reference_escape.h"
#include "serialize/per_type/str.h"
#include "typeref/cpu.h"

#include <memory>
#include <string>
#include <string_view>

using namespace quibex;
using fuzzing::check;

namespace {

using Escaper = size_t (*)(uint8_t*, const uint8_t*, size_t);

void expect_escapes(Escaper escape, const uint8_t* data, size_t size, const std::string& want, const char* what) {
  const size_t reserved = 8 * size + 32;
  std::unique_ptr<uint8_t[]> out(new uint8_t[reserved]);
  const size_t n = escape(out.get(), data, size);
  check(std::string_view(reinterpret_cast<const char*>(out.get()), n) == want, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string want =
      testing_support::reference_escape({reinterpret_cast<const char*>(data), size});
  for (const auto& variant : kEscapeVariants) {
    if (cpu_has(variant.needs)) expect_escapes(variant.fn, data, size, want, variant.name);
  }
  if (size <= kShortPlainMax) {
    uint8_t out[8 * kShortPlainMax + 32];
    const size_t n = quote_short_plain(out, data, size);
    check(n == 0 || std::string_view(reinterpret_cast<const char*>(out), n) == want, "short path output differs");
    check(n != 0 || want.size() != size + 2, "short path refused a plain string");
  }
  return 0;
}
