// numpy arrays under OPT_SERIALIZE_NUMPY: reading an array through its
// interface structure and writing it as nested JSON arrays.
#pragma once

#include "ffi/numpy/array_interface.h"
#include "ffi/numpy/datetime.h"
#include "serialize/frame.h"
#include "serialize/layout.h"
#include "typeref/registry.h"

namespace quibex {

// What each item of an array is.
enum class ItemKind : uint8_t {
  Bool, Datetime64, Float16, Float32, Float64, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
};

// Why an array cannot be written.
enum class NumpyArrayError : uint8_t { None, Malformed, NotContiguous, NotNativeEndian, UnsupportedDatatype };

// An array opened for writing; holds the interface capsule (and through it
// the array) until it goes out of scope.
struct OpenArray {
  Owned capsule;
  const ffi::PyArrayInterface* interface = nullptr;
  ItemKind kind = ItemKind::Bool;
  DatetimeDescr datetime;  // the unit of Datetime64 items
  OptionSet options = 0;
};

// Reads the interface of an exact numpy.ndarray and checks, in order, that
// it is well formed, not of void (structured) items, C-contiguous,
// native-endian, not zero-dimensional and of a supported item type. On a
// refusal nothing is held.
NumpyArrayError open_numpy_array(PyObject* array, OptionSet options, OpenArray* out, const TypeRegistry& r) noexcept;

// Writes the array of frame.obj, or hands it to `default` when its layout or
// item type is not supported and a default is given.
template <class L>
DumpResult write_numpy_array(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
