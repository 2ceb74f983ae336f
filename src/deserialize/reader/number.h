// JSON number text to a Number record: the typing rules and the correctly
// rounded binary64 conversion.
#pragma once

#include "deserialize/reader/doc.h"

#include <cstdint>

namespace quibex {

struct NumberError {
  const char* message;
  const uint8_t* at;  // the byte the error is reported at
};

// Reads the number at `p`, which points at '-' or a digit of a text that is
// followed by at least four zero bytes, the last of them before
// `readable_end`. Writes the record's tag and payload into `*v` and returns
// the pointer past the number; on failure returns null with `*error` filled.
// The byte after the number is left to the caller.
const uint8_t* read_number(const uint8_t* p, const uint8_t* readable_end, DocValue* v,
                           NumberError* error) noexcept;

// The same by the rules in full, for any digit count and exponent and every
// error; read_number takes it for all but the common shapes of numbers.
const uint8_t* read_number_general(const uint8_t* p, const uint8_t* readable_end, DocValue* v,
                                   NumberError* error) noexcept;

}  // namespace quibex
