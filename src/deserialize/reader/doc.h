// One scalar value as the reader reads it, before it becomes a Python
// object: what the string and number readers hand back.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Value kinds (tag bits 0-2): literals become their objects at once, so
// only numbers and strings are values.
enum class DocKind : uint8_t { Number = 4, String = 5 };

// Value subkinds (tag bits 3-4) of Number and String. A Wide string
// has an escape of U+0080 or above, so its bytes are not all ASCII even in
// a text that is; an Ascii string has no escape and only bytes below 0x80;
// a Built string is one with escapes whose str is made already.
enum class DocSubkind : uint8_t { Plain = 0, Unsigned = 0, Signed = 1, Real = 2, Wide = 1, Ascii = 2, Built = 3 };

constexpr uint64_t make_tag(DocKind kind, DocSubkind subkind = DocSubkind::Plain) noexcept {
  return static_cast<uint64_t>(kind) | (static_cast<uint64_t>(subkind) << 3);
}

// The type byte (kind and subkind) of every value the reader writes.
inline constexpr uint64_t kTagUnsigned = make_tag(DocKind::Number, DocSubkind::Unsigned);
inline constexpr uint64_t kTagSigned = make_tag(DocKind::Number, DocSubkind::Signed);
inline constexpr uint64_t kTagReal = make_tag(DocKind::Number, DocSubkind::Real);
inline constexpr uint64_t kTagString = make_tag(DocKind::String);
inline constexpr uint64_t kTagWideString = make_tag(DocKind::String, DocSubkind::Wide);
inline constexpr uint64_t kTagAsciiString = make_tag(DocKind::String, DocSubkind::Ascii);
inline constexpr uint64_t kTagBuiltString = make_tag(DocKind::String, DocSubkind::Built);
static_assert(kTagSigned == 0x0C && kTagReal == 0x14);

inline constexpr unsigned kTagCountShift = 8;  // a String's byte length lives in tag bits 8-63

// One value: 16 bytes. The payload is read by type:
//   Unsigned: u; Signed: i; Real: f (a binary64);
//   String, WideString, AsciiString: str, pointing at `count()` bytes of well-formed UTF-8 that may hold
//           NUL bytes and are not NUL-terminated;
//   BuiltString: obj, a new reference to the str.
struct DocValue {
  uint64_t tag;
  union {
    uint64_t u;
    int64_t i;
    double f;
    const uint8_t* str;
    PyObject* obj;
  } payload;

  // The type byte: one of the kTag constants.
  uint8_t type() const noexcept { return static_cast<uint8_t>(tag); }
  DocKind kind() const noexcept { return static_cast<DocKind>(tag & 7); }
  // String byte length.
  uint64_t count() const noexcept { return tag >> kTagCountShift; }
};
static_assert(sizeof(DocValue) == 16);

}  // namespace quibex
