#include "serialize/per_type/uuid.h"

#include "serialize/per_type/attribute.h"
#include "serialize/per_type/datetime.h"
#include "support.h"
#include "typeref/cpu.h"
#include "typeref/registry.h"

#if QUIBEX_X86
#include <emmintrin.h>
#endif

#include <cstring>

namespace quibex {
namespace {

// The value of an int in 0 .. 2^128 - 1 as two 64-bit halves; false when
// it is negative or wider. Read from the int's digits.
bool read_u128(PyObject* value, uint64_t* hi, uint64_t* lo) noexcept {
  const ffi::LongDigits d = ffi::long_digits(value);
  // Four 30-bit digits hold 120 bits; a fifth may add at most 8 more.
  if (d.negative || d.count > 5 || (d.count == 5 && (d.digits[4] >> 8) != 0)) return false;
  unsigned __int128 v = 0;
  for (size_t i = d.count; i-- > 0;) v = (v << PyLong_SHIFT) | d.digits[i];
  *hi = static_cast<uint64_t>(v >> 64);
  *lo = static_cast<uint64_t>(v);
  return true;
}

// Writes the 16 lowercase hexadecimal digits of v at p, most significant
// first.
#if QUIBEX_X86
// Each nibble plus '0', plus the gap from '9' + 1 to 'a' where it is above 9.
void hex16(uint8_t* p, uint64_t v) noexcept {
  const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(__builtin_bswap64(v)));
  const __m128i mask = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
  const __m128i low = _mm_and_si128(bytes, mask);
  const __m128i nibbles = _mm_unpacklo_epi8(high, low);
  const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '9' - 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters));
}
#else
void hex16(uint8_t* p, uint64_t v) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int k = 0; k < 16; ++k) p[k] = static_cast<uint8_t>(kHex[(v >> (60 - 4 * k)) & 15]);
}
#endif

}  // namespace

DumpResult write_uuid_text(PyObject* uuid, uint8_t* text, const TypeRegistry& r) noexcept {
  uint64_t hi = 0, lo = 0;
  {
    // Reading the attribute may run Python code (a patched class).
    Owned hold = Owned::borrow(uuid);
    Owned value = Owned::steal(get_attribute(uuid, r.int_name));
    if (!value || !PyLong_Check(value.get()) || !read_u128(value.get(), &hi, &lo))
      return make_dump_error(DumpErrorKind::UnsupportedType, uuid);
  }
  uint8_t digits[32];
  hex16(digits, hi);
  hex16(digits + 16, lo);
  // 8-4-4-4-12 groups.
  std::memcpy(text, digits, 8);
  text[8] = '-';
  std::memcpy(text + 9, digits + 8, 4);
  text[13] = '-';
  std::memcpy(text + 14, digits + 12, 4);
  text[18] = '-';
  std::memcpy(text + 19, digits + 16, 4);
  text[23] = '-';
  std::memcpy(text + 24, digits + 20, 12);
  return kDumpOk;
}

DumpResult write_uuid(OutputBuffer& out, PyObject* uuid, const TypeRegistry& r) noexcept {
  return write_quoted(out, [&](uint8_t* text, size_t* len) noexcept {
    *len = kUuidTextLen;
    return write_uuid_text(uuid, text, r);
  });
}

}  // namespace quibex
