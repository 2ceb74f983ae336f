// Byte-wise tests on 64-bit words, for the portable variants: eight bytes
// at a time, byte k of a word at bits 8k (the first byte in memory lowest).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quibex::word_bytes {

inline constexpr uint64_t kOnes = 0x0101010101010101;
inline constexpr uint64_t kHighBits = 0x8080808080808080;

inline uint64_t load_le64(const uint8_t* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}
inline void store_le64(uint8_t* p, uint64_t w) noexcept {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
}

// Index of the byte that holds the lowest set bit of a non-zero word.
inline size_t first_byte_index(uint64_t flags) noexcept { return static_cast<size_t>(std::countr_zero(flags)) / 8; }

// The high bit of byte k set when byte k is below t (t <= 0x80), or equal
// to c. Bits above the lowest flagged byte may be set spuriously (a borrow
// crosses up from it); the lowest one, and whether any is set, are exact.
constexpr uint64_t bytes_below(uint64_t w, uint8_t t) noexcept { return (w - kOnes * t) & ~w & kHighBits; }
constexpr uint64_t bytes_equal(uint64_t w, uint8_t c) noexcept { return bytes_below(w ^ (kOnes * c), 1); }

// The high bit of each byte that is at least t (t >= 0x80), exactly: no
// sum carries into the next byte.
constexpr uint64_t bytes_at_least(uint64_t w, uint8_t t) noexcept {
  return ((w & ~kHighBits) + kOnes * (0x100 - t)) & w & kHighBits;
}
static_assert(bytes_at_least(0xC3C2F4EFC4, 0xC4) == 0x808080 && bytes_at_least(0x7FEF, 0xF0) == 0);

// The bytes that end a plain run of JSON string text: '"', '\\' and the
// control bytes 00..1F (flags as bytes_below gives them).
constexpr uint64_t string_stop_flags(uint64_t w) noexcept {
  return bytes_below(w, 0x20) | bytes_equal(w, '"') | bytes_equal(w, '\\');
}
static_assert(string_stop_flags(0x2121212121212121) == 0 && string_stop_flags(0xFF7F5D5B23215D20) == 0);
static_assert(string_stop_flags(0x4141414141411F41) == 0x8000 && string_stop_flags(0x2241414141414141) >> 63 == 1);
static_assert(string_stop_flags(0x415C414141414141) >> 48 == 0x80);

}  // namespace quibex::word_bytes
