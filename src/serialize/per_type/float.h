#pragma once

#include "serialize/output_buffer.h"

namespace quibex {

// Value writers: non-finite values as null, else shortest round-trip text.
DumpResult write_f64_value(OutputBuffer& out, double v) noexcept;
DumpResult write_f32_value(OutputBuffer& out, float v) noexcept;
DumpResult write_f16_value(OutputBuffer& out, uint16_t half) noexcept;

// A float object (ob_fval) through write_f64_value.
DumpResult write_float_object(OutputBuffer& out, PyObject* obj) noexcept;

}  // namespace quibex
