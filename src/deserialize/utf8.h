// Validation of untrusted byte input as well-formed UTF-8 (Unicode Table 3-7,
// the same as RFC 3629: no overlongs, no surrogates, nothing above U+10FFFF,
// no stray or missing continuation bytes).
#pragma once

#include "typeref/cpu.h"
#include "typeref/registry.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Length of the longest well-formed prefix; the input is valid exactly when
// this equals n. Reads no byte past n.
size_t validate_utf8_scalar(const uint8_t* s, size_t n) noexcept;

// The validator variants: true when the input is well-formed; none reads a
// byte past n. The library selects one as ROUTINES.validate_utf8 when loaded.
bool validate_utf8_portable(const uint8_t* s, size_t n) noexcept;
#if QUIBEX_X86
[[QUIBEX_TARGET_AVX2]] bool validate_utf8_avx2(const uint8_t* s, size_t n) noexcept;
#elif QUIBEX_NEON
bool validate_utf8_neon(const uint8_t* s, size_t n) noexcept;
#endif

inline constexpr Variant<ValidateUtf8Fn> kValidateUtf8Variants[] = {
    {"portable", 0, validate_utf8_portable},
#if QUIBEX_X86
    {"avx2", kNeedsAvx2, validate_utf8_avx2},
#elif QUIBEX_NEON
    {"neon", 0, validate_utf8_neon},
#endif
};

}  // namespace quibex
