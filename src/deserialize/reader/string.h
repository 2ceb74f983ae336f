// JSON strings of the reader: scanning and unescaping.
#pragma once

#include "deserialize/reader/doc.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Where strings with escapes are written unescaped: grown on demand, owned
// by the caller (PyMem memory).
struct StringScratch {
  uint8_t* data;
  size_t capacity;
};

struct StringError {
  const char* message;  // null when the scratch could not grow: out of memory
  const uint8_t* at;
};

// Reads the string whose opening quote is just before `p`. The text is
// followed by a zero byte, and `readable_end` is one past the last byte that
// may be read (that zero byte or later). Writes the String value into `*v`
// and returns the pointer past the closing quote; on failure returns null
// with `*error` filled. A string without escapes is pointed to where it
// stands in the text; one with escapes is written unescaped into the
// scratch, where it stays until the next read_string; it is a WideString
// when an escape in it stands for U+0080 or above. With `see_ascii`, a
// string without escapes whose bytes are all below 0x80 is an AsciiString
// (the check costs a little; without it such a string is a String). A
// string with escapes is made into its str at once, a BuiltString, most
// often without a UTF-8 form on the way; out of memory then leaves
// MemoryError set.
const uint8_t* read_string(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                           StringError* error, bool see_ascii) noexcept;

// The same for an object key, which is looked up by its UTF-8 bytes: a
// String or a WideString, never a BuiltString, and no ASCII check.
const uint8_t* read_key_string(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                               StringError* error) noexcept;

}  // namespace quibex
