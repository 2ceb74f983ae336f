// Making str objects of the narrowest storage kind from valid UTF-8.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// New reference, or null with MemoryError set. The input is valid UTF-8.
PyObject* build_str_portable(const uint8_t* src, size_t n) noexcept;
PyObject* build_str_avx512(const uint8_t* src, size_t n) noexcept;

}  // namespace quibex
