// Making str objects of the narrowest storage kind from well-formed UTF-8.
#pragma once

#include "ffi/python.h"
#include "typeref/cpu.h"
#include "typeref/registry.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// What a str built from some UTF-8 bytes looks like.
struct StrShape {
  size_t chars;      // bytes that are not continuation bytes (80..BF)
  Py_UCS4 maxchar;   // 127, 255, 0xFFFF or 0x10FFFF: the narrowest kind
};

// Shape of n bytes of well-formed UTF-8, any n. The variants give the same
// shape for every input; the builders below use them.
StrShape str_shape_portable(const uint8_t* s, size_t n) noexcept;
#if QUIBEX_X86
StrShape str_shape_sse2(const uint8_t* s, size_t n) noexcept;
[[QUIBEX_TARGET_AVX2]] StrShape str_shape_avx2(const uint8_t* s, size_t n) noexcept;
#elif QUIBEX_NEON
StrShape str_shape_neon(const uint8_t* s, size_t n) noexcept;
#endif

using StrShapeFn = StrShape (*)(const uint8_t* s, size_t n) noexcept;
inline constexpr Variant<StrShapeFn> kStrShapeVariants[] = {
    {"portable", 0, str_shape_portable},
#if QUIBEX_X86
    {"sse2", 0, str_shape_sse2},
    {"avx2", kNeedsAvx2, str_shape_avx2},
#elif QUIBEX_NEON
    {"neon", 0, str_shape_neon},
#endif
};

// New reference, or null with MemoryError set. The input is well-formed
// UTF-8 (NUL bytes allowed) and is not checked. All variants give identical
// results; the library selects one as ROUTINES.build_str when loaded.
PyObject* build_str_portable(const uint8_t* s, size_t n) noexcept;
#if QUIBEX_X86
PyObject* build_str_sse2(const uint8_t* s, size_t n) noexcept;
PyObject* build_str_avx2(const uint8_t* s, size_t n) noexcept;
[[QUIBEX_TARGET_AVX512]] PyObject* build_str_avx512(const uint8_t* s, size_t n) noexcept;
#elif QUIBEX_NEON
PyObject* build_str_neon(const uint8_t* s, size_t n) noexcept;
#endif

// The str of n > 0 code points, each at most `bound` and none a surrogate;
// `bound` decides the storage kind as the largest one would (the OR of them
// all serves). New reference, or null with MemoryError set.
PyObject* build_str_code_points(const uint32_t* u, size_t n, uint32_t bound) noexcept;

// The code point of one character of well-formed UTF-8 at s, and its
// length in bytes.
struct Utf8Char {
  uint32_t cp;
  uint32_t length;
};
[[gnu::always_inline]] inline Utf8Char decode_utf8_char(const uint8_t* s) noexcept {
  const uint32_t b = *s;
  if (b < 0x80) return {b, 1};
  if (b < 0xE0) return {((b & 0x1F) << 6) | (s[1] & 0x3Fu), 2};
  if (b < 0xF0) return {((b & 0x0F) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu), 3};
  return {((b & 0x07) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu), 4};
}

inline constexpr Variant<BuildStrFn> kBuildStrVariants[] = {
    {"portable", 0, build_str_portable},
#if QUIBEX_X86
    {"sse2", 0, build_str_sse2},
    {"avx2", kNeedsAvx2, build_str_avx2},
    {"avx512", kNeedsAvx512, build_str_avx512},
#elif QUIBEX_NEON
    {"neon", 0, build_str_neon},
#endif
};

}  // namespace quibex
