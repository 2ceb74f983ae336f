// Validation of untrusted byte input as well-formed UTF-8 (Unicode Table 3-7,
// the same as RFC 3629: no overlongs, no surrogates, nothing above U+10FFFF,
// no stray or missing continuation bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quibex {

// Length of the longest well-formed prefix; the input is valid exactly when
// this equals n. Reads no byte past n.
size_t validate_utf8_scalar(const uint8_t* s, size_t n) noexcept;

// True when the input is well-formed. Needs AVX2; reads no byte past n.
[[gnu::target("avx2")]] bool validate_utf8_avx2(const uint8_t* s, size_t n) noexcept;

// True when the input is well-formed; picks the AVX2 routine when the
// processor has it.
bool validate_utf8(const uint8_t* s, size_t n) noexcept;

}  // namespace quibex
