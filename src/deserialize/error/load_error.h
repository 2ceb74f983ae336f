// Raising the failures of loads as JSONDecodeError(message, document, position).
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

struct LoadError {
  const char* message;       // the module's own NUL-terminated ASCII text, static
  const uint8_t* document;   // the input text (well-formed UTF-8), or null to report it as empty
  size_t document_length;    // bytes
  size_t position;           // byte offset into the document, on a character boundary
};

// Number of characters in the first `position` bytes of the document.
size_t char_position(const uint8_t* document, size_t length, size_t position) noexcept;

// Sets type(message, document as str, character position) as the pending
// exception, replacing any exception already pending; `type` is the
// interpreter's quibex.JSONDecodeError, whose base class derives lineno, colno
// and the text of the error from these three.
void raise_load_error(const LoadError& error, PyObject* type) noexcept;

}  // namespace quibex
