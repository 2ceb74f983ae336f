// JSON strings of the reader: scanning and in-place unescaping.
#pragma once

#include "deserialize/reader/doc.h"

#include <cstdint>

namespace quibex {

struct StringError {
  const char* message;
  const uint8_t* at;
};

// Reads the string whose opening quote is just before `p` in the reader's
// working copy, which ends (sentinels included) at `copy_end`. Writes the
// String record into `*v` and returns the pointer past the closing quote; on
// failure returns null with `*error` filled. Escapes are replaced in place
// by their UTF-8 bytes; a string without escapes gets a zero byte written
// over its closing quote.
uint8_t* read_string(uint8_t* p, const uint8_t* copy_end, DocValue* v, StringError* error) noexcept;

}  // namespace quibex
