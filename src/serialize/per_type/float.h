#pragma once

#include "serialize/output_buffer.h"

namespace quibex {

// Writes a float in shortest round-trip form; non-finite values as null.
DumpResult write_float_object(OutputBuffer& out, PyObject* obj) noexcept;

}  // namespace quibex
