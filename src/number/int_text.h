// Decimal text of unsigned machine integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quibex {

// "00", "01", ..., "99": entry k at byte 2k.
extern const char DIGIT_PAIRS[200];

// Write the digits of v at dst (no sign, no terminator); return their count.
size_t write_u32_decimal(uint32_t v, uint8_t* dst) noexcept;
size_t write_u64_decimal(uint64_t v, uint8_t* dst) noexcept;

}  // namespace quibex
