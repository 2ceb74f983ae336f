// Placeholder; replaced by the shortest-digit writers.
#include "number/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quibex {

uint8_t* write_f64_shortest(uint8_t* dst, double v) noexcept {
  char* p = reinterpret_cast<char*>(dst);
  return reinterpret_cast<uint8_t*>(std::to_chars(p, p + 24, v).ptr);
}

uint8_t* write_f32_shortest(uint8_t* dst, float v) noexcept {
  char* p = reinterpret_cast<char*>(dst);
  return reinterpret_cast<uint8_t*>(std::to_chars(p, p + 17, v).ptr);
}

float half_to_single(uint16_t h) noexcept {
  const uint32_t sign = (h & 0x8000u) << 16;
  const int exp = (h >> 10) & 0x1F;
  const uint32_t frac = h & 0x3FFu;
  float mag;
  if (exp == 0) mag = std::ldexp(static_cast<float>(frac), -24);
  else if (exp == 31) mag = frac ? NAN : INFINITY;
  else mag = std::ldexp(static_cast<float>(frac | 0x400u), exp - 25);
  uint32_t bits;
  std::memcpy(&bits, &mag, 4);
  bits |= sign;
  std::memcpy(&mag, &bits, 4);
  return mag;
}

}  // namespace quibex
