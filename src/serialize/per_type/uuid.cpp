#include "serialize/per_type/uuid.h"

#include "serialize/per_type/datetime.h"
#include "support.h"
#include "typeref/registry.h"

namespace quibex {

DumpResult write_uuid_text(PyObject* uuid, uint8_t* text) noexcept {
  unsigned char bytes[16];  // most significant first
  {
    // Reading the attribute may run Python code (a patched class).
    Owned hold = Owned::borrow(uuid);
    Owned value = Owned::steal(PyObject_GetAttr(uuid, REGISTRY.int_name));
    if (!value || !PyLong_Check(value.get()) || ffi::long_as_unsigned_be_bytes(value.get(), bytes, 16) < 0)
      return make_dump_error(DumpErrorKind::UnsupportedType, uuid);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  uint8_t* p = text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = static_cast<uint8_t>(kHex[bytes[i] >> 4]);
    *p++ = static_cast<uint8_t>(kHex[bytes[i] & 0xF]);
  }
  return kDumpOk;
}

DumpResult write_uuid(OutputBuffer& out, PyObject* uuid) noexcept {
  uint8_t text[kUuidTextLen];
  QUIBEX_TRY(write_uuid_text(uuid, text));
  return write_quoted_text(out, text, kUuidTextLen);
}

}  // namespace quibex
