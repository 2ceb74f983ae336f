// Byte classes of the reader: one table lookup per byte examined.
#pragma once

#include <array>
#include <cstdint>

namespace quibex {

// CharClass bits.
enum : uint8_t {
  kCharSpace = 0x01,       // 09, 0A, 0D, 20: the only bytes between tokens
  kCharNumberStart = 0x02,  // '-', '0'..'9'
  kCharStringStop = 0x04,  // 00..1F, '"', '\': ends a run of plain string bytes
};

// Class bits of each byte value.
inline constexpr std::array<uint8_t, 256> kCharClass = [] {
  std::array<uint8_t, 256> t{};
  for (uint8_t c : {0x09, 0x0A, 0x0D, 0x20}) t[c] |= kCharSpace;
  t['-'] |= kCharNumberStart;
  for (int c = '0'; c <= '9'; ++c) t[c] |= kCharNumberStart;
  for (int c = 0; c < 0x20; ++c) t[c] |= kCharStringStop;
  t['"'] |= kCharStringStop;
  t['\\'] |= kCharStringStop;
  return t;
}();
static_assert(kCharClass[' '] == kCharSpace && kCharClass[0] == kCharStringStop &&
              kCharClass['7'] == kCharNumberStart && kCharClass[0x80] == 0);
// No whitespace byte is above ' ', so one compare passes the bytes above it.
static_assert([] {
  for (int c = ' ' + 1; c < 256; ++c) {
    if (kCharClass[c] & kCharSpace) return false;
  }
  return true;
}());

// DigitClass bits.
enum : uint8_t {
  kDigitZero = 0x01,     // '0'
  kDigitNonZero = 0x02,  // '1'..'9'
  kDigitPlus = 0x04,     // '+'
  kDigitMinus = 0x08,    // '-'
  kDigitDot = 0x10,      // '.'
  kDigitExp = 0x20,      // 'e', 'E'
  kDigitAny = kDigitZero | kDigitNonZero,
  kDigitContinue = kDigitAny | kDigitDot | kDigitExp,  // bytes that continue a number's digits
};

// Number-scanning class of each byte value.
inline constexpr std::array<uint8_t, 256> kDigitClass = [] {
  std::array<uint8_t, 256> t{};
  t['0'] = kDigitZero;
  for (int c = '1'; c <= '9'; ++c) t[c] = kDigitNonZero;
  t['+'] = kDigitPlus;
  t['-'] = kDigitMinus;
  t['.'] = kDigitDot;
  t['e'] = t['E'] = kDigitExp;
  return t;
}();
static_assert(kDigitClass['5'] == kDigitNonZero && kDigitClass['E'] == kDigitExp &&
              kDigitClass['a'] == 0);

inline bool is_digit(uint8_t c) noexcept { return (kDigitClass[c] & kDigitAny) != 0; }

// Value of a hexadecimal digit (either case) for each byte value; -1 for other bytes.
inline constexpr std::array<int8_t, 256> kHexValue = [] {
  std::array<int8_t, 256> t{};
  t.fill(-1);
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<int8_t>(10 + c);
  return t;
}();
static_assert(kHexValue['f'] == 15 && kHexValue['F'] == 15 && kHexValue['g'] == -1);

}  // namespace quibex
