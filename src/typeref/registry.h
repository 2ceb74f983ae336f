// What the module resolves at start-up. Two records: the routines selected
// for this processor, plain data shared by the whole process, and the
// registry of one interpreter's own types, singletons, interned names and
// exception types, a member of that interpreter's module state
// (module_state.h), filled by its start-up (startup.h).
//
// The interpreter's static builtin types (str, int, dict, ...), None, True,
// False, the empty str and TypeError are the same objects in every
// interpreter of the process and are named directly where they are used.
#pragma once

#include "ffi/python.h"
#include "serialize/numpy/registry.h"

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

// The variant of each routine for this processor: selected when the library
// is loaded, before any interpreter can call it, and never changed.
struct Routines {
  EscapeStrFn escape_str;
  BuildStrFn build_str;
  ValidateUtf8Fn validate_utf8;
};

extern const Routines ROUTINES;

// The routine selectors, for the callers that use them.
inline size_t escape_str(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  return ROUTINES.escape_str(dst, src, n);
}
inline PyObject* build_str(const uint8_t* src, size_t n) noexcept { return ROUTINES.build_str(src, n); }
inline bool validate_utf8(const uint8_t* src, size_t n) noexcept { return ROUTINES.validate_utf8(src, n); }

// One interpreter's types and names. Every member is an owned reference of
// that interpreter, released by clear_type_registry; all null before the
// start-up and after the clear.
struct TypeRegistry {
  PyTypeObject* date_type;
  PyTypeObject* datetime_type;
  PyTypeObject* time_type;
  PyTypeObject* tzinfo_type;
  PyTypeObject* delta_type;     // timedelta: checked before an offset is read
  PyTypeObject* timezone_type;  // datetime.timezone; null when its layout is not the one ffi reads
  PyObject* utc;                // datetime.timezone.utc
  PyTypeObject* uuid_type;
  PyTypeObject* enum_meta;
  PyObject* enum_value_property;  // enum.Enum's own `value` descriptor
  PyObject* dataclass_field_marker;
  PyTypeObject* fragment_type;  // quibex.Fragment, a heap type of the module
  PyObject* decode_error;       // quibex.JSONDecodeError, a subclass of json.JSONDecodeError

  // Interned names.
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

  // numpy's types in this interpreter, learned on first use.
  NumpyEntry numpy;
};

// Calls visit on every object the registry holds (for the module's
// traversal); the first non-zero result is returned.
int traverse_type_registry(TypeRegistry& r, visitproc visit, void* arg) noexcept;

// Releases every reference the registry holds and empties it.
void clear_type_registry(TypeRegistry& r) noexcept;

}  // namespace quibex
