// Placeholder; replaced by the table-driven writers.
#include "number/int_text.h"

#include <cstdio>

namespace quibex {

const char DIGIT_PAIRS[200] = {};

size_t write_u32_decimal(uint32_t v, uint8_t* dst) noexcept { return write_u64_decimal(v, dst); }

size_t write_u64_decimal(uint64_t v, uint8_t* dst) noexcept {
  char tmp[24];
  const int n = std::snprintf(tmp, sizeof tmp, "%llu", static_cast<unsigned long long>(v));
  for (int i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(tmp[i]);
  return static_cast<size_t>(n);
}

}  // namespace quibex
