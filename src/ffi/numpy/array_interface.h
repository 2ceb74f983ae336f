// numpy's published structures, read directly: the array interface behind
// `__array_struct__` and the value field of numpy scalar objects. numpy is
// not linked; these declarations mirror its public headers.
#pragma once

#include "ffi/python.h"

#include <cstdint>
#include <cstring>

namespace quibex::ffi {

// The structure stored in the capsule that ndarray.__array_struct__ returns.
struct PyArrayInterface {
  int two;             // always 2; anything else means the structure is not one
  int nd;              // number of dimensions
  char typekind;       // dtype kind letter: 'b', 'i', 'u', 'f', 'M', ...
  int itemsize;        // bytes per item
  int flags;           // NPY_ARRAY_* bits
  Py_ssize_t* shape;   // nd extents
  Py_ssize_t* strides; // nd byte strides
  void* data;          // first item
  PyObject* descr;     // unused here
};

inline constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001;
inline constexpr int NPY_ARRAY_NOTSWAPPED = 0x0200;

// The most dimensions a numpy array can have.
inline constexpr int kNumpyMaxDims = 64;

// A numpy scalar keeps its value (`obval`) right after the object header.
inline const uint8_t* numpy_scalar_value(PyObject* scalar) noexcept {
  return reinterpret_cast<const uint8_t*>(scalar) + sizeof(PyObject);
}

// Reads a T from possibly unaligned memory.
template <class T>
inline T load_unaligned(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace quibex::ffi
