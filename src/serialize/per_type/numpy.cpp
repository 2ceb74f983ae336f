#include "serialize/per_type/numpy.h"

#include "ffi/numpy/array_interface.h"
#include "serialize/numpy/items.h"
#include "serialize/numpy/registry.h"
#include "serialize/per_type/float.h"

namespace quibex {

DumpResult write_numpy_scalar(PyObject* scalar, OptionSet options, OutputBuffer& out) noexcept {
  using ffi::load_unaligned;
  // Loaded: classification needed the record.
  const NumpyTypes& np = *numpy_types();
  PyTypeObject* t = Py_TYPE(scalar);
  const uint8_t* v = ffi::numpy_scalar_value(scalar);
  if (t == np.float64) return write_f64_value(out, load_unaligned<double>(v));
  if (t == np.float32) return write_f32_value(out, load_unaligned<float>(v));
  if (t == np.float16) return write_f16_value(out, load_unaligned<uint16_t>(v));
  if (t == np.int64) return write_i64_item(out, load_unaligned<int64_t>(v));
  if (t == np.int32) return write_i32_item(out, load_unaligned<int32_t>(v));
  if (t == np.int16) return write_i32_item(out, load_unaligned<int16_t>(v));
  if (t == np.int8) return write_i32_item(out, load_unaligned<int8_t>(v));
  if (t == np.uint64) return write_u64_item(out, load_unaligned<uint64_t>(v));
  if (t == np.uint32) return write_u32_item(out, load_unaligned<uint32_t>(v));
  if (t == np.uint16) return write_u32_item(out, load_unaligned<uint16_t>(v));
  if (t == np.uint8) return write_u32_item(out, *v);
  if (t == np.bool_) return write_bool_item(out, *v);
  const DatetimeDescr descr = read_datetime_unit(scalar);
  return write_datetime64_item(out, load_unaligned<int64_t>(v), descr, options);
}

}  // namespace quibex
