#include "serialize/per_type/numpy.h"

#include "ffi/numpy/array_interface.h"
#include "serialize/numpy/items.h"
#include "serialize/numpy/registry.h"

namespace quibex {

DumpResult write_numpy_scalar(PyObject* scalar, OptionSet options, OutputBuffer& out, TypeRegistry& r) noexcept {
  using ffi::load_unaligned;
  // Loaded: classification needed the record.
  const NumpyTypes& np = *numpy_types(r.numpy);
  PyTypeObject* t = Py_TYPE(scalar);
  const uint8_t* v = ffi::numpy_scalar_value(scalar);
  auto put = [&](auto put_text, auto value) noexcept {
    return write_value_text(out, [&](uint8_t* p) noexcept { return put_text(p, value); });
  };
  if (t == np.float64) return put(put_f64_text, load_unaligned<double>(v));
  if (t == np.float32) return put(put_f32_text, load_unaligned<float>(v));
  if (t == np.float16) return put(put_f16_text, load_unaligned<uint16_t>(v));
  if (t == np.int64) return put(put_i64_text, load_unaligned<int64_t>(v));
  if (t == np.int32) return put(put_i32_text, load_unaligned<int32_t>(v));
  if (t == np.int16) return put(put_i32_text, load_unaligned<int16_t>(v));
  if (t == np.int8) return put(put_i32_text, load_unaligned<int8_t>(v));
  if (t == np.uint64) return put(put_u64_text, load_unaligned<uint64_t>(v));
  if (t == np.uint32) return put(put_u32_text, load_unaligned<uint32_t>(v));
  if (t == np.uint16) return put(put_u32_text, load_unaligned<uint16_t>(v));
  if (t == np.uint8) return put(put_u32_text, *v);
  if (t == np.bool_) return put(put_bool_text, *v);
  const DatetimeDescr descr = read_datetime_unit(scalar, r.dtype_name, r.descr_name);
  return write_datetime64_item(out, load_unaligned<int64_t>(v), descr, options);
}

}  // namespace quibex
