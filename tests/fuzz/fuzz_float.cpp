// The shortest float writers on arbitrary bit patterns, double and single:
// the text of every finite value reads back to the same bits, has as many
// significant digits as the standard library's shortest form, keeps to the
// documented shape and touches no byte beyond its width's span.
#include "harness.h"
#include "number/float_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using namespace quibex;
using fuzzing::check;

namespace {

constexpr uint8_t kSentinel = 0xA5;

// Significant digits of a decimal text: those of its mantissa without the
// leading and trailing zeros.
size_t significant_digits(std::string_view text) {
  const std::string_view mantissa = text.substr(0, text.find_first_of("eE"));
  std::string digits;
  for (char c : mantissa)
    if (c >= '0' && c <= '9') digits += c;
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  return digits.find_last_not_of('0') + 1 - first;
}

template <class F>
void check_text(F v, size_t span) {
  if (!std::isfinite(v)) return;
  uint8_t buf[64];
  std::memset(buf, kSentinel, sizeof buf);
  uint8_t* end;
  if constexpr (sizeof(F) == 8) {
    end = write_f64_shortest(buf + 8, v);
  } else {
    end = write_f32_shortest(buf + 8, v);
  }
  const size_t n = size_t(end - (buf + 8));
  check(n > 0 && n <= span, "text longer than the span");
  for (size_t i = 0; i < sizeof buf; ++i)
    check((i >= 8 && i < 8 + span) || buf[i] == kSentinel, "a byte outside the span was written");
  const std::string text(reinterpret_cast<const char*>(buf + 8), n);
  check(text[0] != '+', "leading plus sign");
  check(text.find_first_of("eE") != std::string::npos || text.find('.') != std::string::npos,
        "plain text without a decimal point");

  F back;
  const auto parsed = std::from_chars(text.data(), text.data() + n, back);
  check(parsed.ec == std::errc() && parsed.ptr == text.data() + n, "text does not parse");
  using Bits = std::conditional_t<sizeof(F) == 8, uint64_t, uint32_t>;
  check(std::bit_cast<Bits>(back) == std::bit_cast<Bits>(v), "text reads back to another value");

  char shortest[64];
  const auto written = std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::scientific);
  check(significant_digits(text) == significant_digits({shortest, size_t(written.ptr - shortest)}),
        "not the shortest digit count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t bits[8] = {};
  std::memcpy(bits, data, size < 8 ? size : 8);
  double d;
  std::memcpy(&d, bits, 8);
  float f;
  std::memcpy(&f, bits, 4);
  check_text(d, 24);
  check_text(f, 17);
  return 0;
}
