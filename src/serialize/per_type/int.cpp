#include "serialize/per_type/int.h"

#include <bit>
#include <cstring>

namespace quibex {
namespace {
constexpr uint64_t kMaxSafeInteger = (uint64_t{1} << 53) - 1;  // largest magnitude under OPT_STRICT_INTEGER
}  // namespace

DumpResult write_wide_int(OutputBuffer& out, PyObject* obj, bool negative, OptionSet opts) noexcept {
  // Positive values are read as unsigned (up to 2^64 - 1), negative ones as
  // signed (down to -2^63); the 64-bit check always comes first.
  unsigned char bytes[8];
  if (ffi::long_as_u64_bytes(obj, bytes, negative) < 0) return make_dump_error(DumpErrorKind::Integer64Bits);
  static_assert(std::endian::native == std::endian::little, "the bytes are little-endian");
  uint64_t value;
  std::memcpy(&value, bytes, 8);
  // Two's-complement negation as unsigned: -2^63 gives 2^63 without overflow.
  const uint64_t magnitude = negative ? 0 - value : value;
  if ((opts & OPT_STRICT_INTEGER) && magnitude > kMaxSafeInteger)
    return make_dump_error(DumpErrorKind::Integer53Bits);
  QUIBEX_TRY(out.reserve(128));
  uint8_t* p = out.write_ptr();
  *p = '-';
  out.advance(negative + write_u64_decimal(magnitude, p + negative));
  return kDumpOk;
}

}  // namespace quibex
