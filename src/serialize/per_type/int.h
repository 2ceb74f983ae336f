#pragma once

#include "serialize/frame.h"
#include "serialize/output_buffer.h"

namespace quibex {

// Writes an int (or int subclass) in the 64-bit range, or the symmetric
// 53-bit range under OPT_STRICT_INTEGER.
DumpResult write_int_object(OutputBuffer& out, PyObject* obj, OptionSet opts) noexcept;

}  // namespace quibex
