// Process-wide registry of interpreter types, singletons, interned names,
// exception types and the processor-selected routines. Filled once by the
// module's start-up (startup.h), read without locks afterwards.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Writes the quoted, escaped form of n bytes at dst; returns the byte count.
// The caller has reserved 8 * n + 32 bytes.
using EscapeStrFn = size_t (*)(uint8_t* dst, const uint8_t* src, size_t n) noexcept;
// Makes a str of the narrowest kind from valid UTF-8; new reference or null.
using BuildStrFn = PyObject* (*)(const uint8_t* src, size_t n) noexcept;
// Whether n bytes are well-formed UTF-8.
using ValidateUtf8Fn = bool (*)(const uint8_t* src, size_t n) noexcept;

struct TypeRegistry {
  PyObject* none;
  PyObject* true_;
  PyObject* false_;
  PyObject* empty_str;  // owned
  PyTypeObject* str_type;
  PyTypeObject* bytes_type;
  PyTypeObject* dict_type;
  PyTypeObject* list_type;
  PyTypeObject* tuple_type;
  PyTypeObject* none_type;
  PyTypeObject* bool_type;
  PyTypeObject* int_type;
  PyTypeObject* float_type;
  PyTypeObject* date_type;
  PyTypeObject* datetime_type;
  PyTypeObject* time_type;
  PyTypeObject* tzinfo_type;
  PyTypeObject* delta_type;  // timedelta: checked before an offset is read
  PyTypeObject* timezone_type;  // datetime.timezone; null when its layout is not the one ffi reads
  PyObject* utc;                // datetime.timezone.utc
  PyTypeObject* uuid_type;        // owned
  PyTypeObject* enum_meta;        // owned
  PyObject* enum_value_property;  // owned: enum.Enum's own `value` descriptor
  PyObject* dataclass_field_marker;  // owned
  PyTypeObject* fragment_type;    // owned
  PyObject* encode_error;         // owned: TypeError itself
  PyObject* decode_error;         // owned: quibex.JSONDecodeError

  // Interned names (owned).
  PyObject* int_name;
  PyObject* utcoffset_name;
  PyObject* normalize_name;
  PyObject* convert_name;
  PyObject* dst_name;
  PyObject* dict_name;
  PyObject* dataclass_fields_name;
  PyObject* slots_name;
  PyObject* field_type_name;
  PyObject* array_struct_name;
  PyObject* dtype_name;
  PyObject* descr_name;
  PyObject* value_name;
  PyObject* member_value_name;  // "_value_", where Enum's `value` reads the member's value
  PyObject* default_name;
  PyObject* option_name;

  // The variant of each routine for this processor.
  EscapeStrFn escape_str;
  BuildStrFn build_str;
  ValidateUtf8Fn validate_utf8;
};

extern TypeRegistry REGISTRY;

// The routine selectors, for the callers that use them.
inline size_t escape_str(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  return REGISTRY.escape_str(dst, src, n);
}
inline PyObject* build_str(const uint8_t* src, size_t n) noexcept { return REGISTRY.build_str(src, n); }
inline bool validate_utf8(const uint8_t* src, size_t n) noexcept { return REGISTRY.validate_utf8(src, n); }

}  // namespace quibex
