// Making str objects of the narrowest storage kind from well-formed UTF-8.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// What a str built from some UTF-8 bytes looks like.
struct StrShape {
  size_t chars;      // bytes that are not continuation bytes (80..BF)
  Py_UCS4 maxchar;   // 127, 255, 0xFFFF or 0x10FFFF: the narrowest kind
};

// Shape of n bytes of well-formed UTF-8 (SSE2, or AVX2 when present).
StrShape str_shape(const uint8_t* s, size_t n) noexcept;
// The two wide paths of str_shape, for n >= 16 and n >= 32 respectively.
StrShape str_shape_sse2(const uint8_t* s, size_t n) noexcept;
[[gnu::target("avx2,popcnt")]] StrShape str_shape_avx2(const uint8_t* s, size_t n) noexcept;

// New reference, or null with MemoryError set. The input is well-formed
// UTF-8 (NUL bytes allowed) and is not checked. Both variants give identical
// results; the registry selects one (REGISTRY.build_str).
PyObject* build_str_portable(const uint8_t* s, size_t n) noexcept;
[[gnu::target("avx512f,avx512bw,avx512vl,bmi2,popcnt")]]
PyObject* build_str_avx512(const uint8_t* s, size_t n) noexcept;

}  // namespace quibex
