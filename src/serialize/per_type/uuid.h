// uuid.UUID as its canonical 8-4-4-4-12 lowercase hexadecimal text.
#pragma once

#include "serialize/output_buffer.h"
#include "typeref/registry.h"

#include <cstdint>

namespace quibex {

inline constexpr size_t kUuidTextLen = 36;

// Writes the 36-character text at `text` from the UUID's `int` attribute.
// Fails with UnsupportedType for the UUID when that attribute cannot be read
// (its exception stays pending as the cause) or is not an int in 0..2^128-1.
DumpResult write_uuid_text(PyObject* uuid, uint8_t* text, const TypeRegistry& r) noexcept;

// The text as a JSON string.
DumpResult write_uuid(OutputBuffer& out, PyObject* uuid, const TypeRegistry& r) noexcept;

}  // namespace quibex
