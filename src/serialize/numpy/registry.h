// numpy's types, learned at run time the first time OPT_SERIALIZE_NUMPY needs
// them in an interpreter. numpy is imported at most once per interpreter and
// never linked; where it cannot be imported (as in isolated subinterpreters,
// which numpy refuses) no numpy object can exist, and none is written.
#pragma once

#include "ffi/python.h"

#include <cstdint>

namespace quibex {

// numpy's array type and its thirteen scalar types. A member is null when
// numpy has no attribute of that name; a null member matches no type.
struct NumpyTypes {
  PyTypeObject* ndarray;
  PyTypeObject* float64;
  PyTypeObject* float32;
  PyTypeObject* float16;
  PyTypeObject* int64;
  PyTypeObject* int32;
  PyTypeObject* int16;
  PyTypeObject* int8;
  PyTypeObject* uint64;
  PyTypeObject* uint32;
  PyTypeObject* uint16;
  PyTypeObject* uint8;
  PyTypeObject* bool_;
  PyTypeObject* datetime64;
};

// What one interpreter knows of numpy: not yet looked for, absent, or its
// types (each an owned reference, kept until the interpreter's module state
// is cleared, so the identity tests never match an unrelated type that
// reuses a freed address).
struct NumpyEntry {
  enum class State : uint8_t { Unknown = 0, Absent, Loaded };
  State state;
  NumpyTypes types;
};

// The record, or null when numpy cannot be imported. The first call in the
// interpreter imports numpy; the outcome, either way, is kept for good. A
// failed import leaves no exception pending.
const NumpyTypes* numpy_types(NumpyEntry& entry) noexcept;

// Visits the loaded types, for the module's traversal.
int traverse_numpy_entry(NumpyEntry& entry, visitproc visit, void* arg) noexcept;

// Releases the types; the entry is back to not looked for.
void clear_numpy_entry(NumpyEntry& entry) noexcept;

// Exactly one of the thirteen scalar types (subclasses are not).
inline bool is_numpy_scalar(const NumpyTypes& np, PyTypeObject* t) noexcept {
  return t == np.float64 || t == np.float32 || t == np.float16 || t == np.int64 || t == np.int16 ||
         t == np.int32 || t == np.int8 || t == np.uint64 || t == np.uint32 || t == np.uint8 ||
         t == np.uint16 || t == np.bool_ || t == np.datetime64;
}

// Exactly numpy.ndarray (subclasses are not).
inline bool is_numpy_array(const NumpyTypes& np, PyTypeObject* t) noexcept { return t == np.ndarray; }

}  // namespace quibex
