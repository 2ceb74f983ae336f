// numpy's types, learned at run time the first time OPT_SERIALIZE_NUMPY needs
// them. numpy is imported at most once per process and never linked.
#pragma once

#include "ffi/python.h"

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

// The record, or null when numpy cannot be imported. The first call in the
// process imports numpy; the outcome, either way, is kept for good.
const NumpyTypes* numpy_types() noexcept;

// Exactly one of the thirteen scalar types (subclasses are not).
inline bool is_numpy_scalar(const NumpyTypes& np, PyTypeObject* t) noexcept {
  return t == np.float64 || t == np.float32 || t == np.float16 || t == np.int64 || t == np.int16 ||
         t == np.int32 || t == np.int8 || t == np.uint64 || t == np.uint32 || t == np.uint8 ||
         t == np.uint16 || t == np.bool_ || t == np.datetime64;
}

// Exactly numpy.ndarray (subclasses are not).
inline bool is_numpy_array(const NumpyTypes& np, PyTypeObject* t) noexcept { return t == np.ndarray; }

}  // namespace quibex
