#include "serialize/output_buffer.h"

namespace quibex {

DumpResult OutputBuffer::grow(uint64_t needed) noexcept {
  uint64_t cap = capacity;
  do cap *= 2;
  while (cap <= needed);
  PyObject* obj = reinterpret_cast<PyObject*>(bytes);
  if (cap > static_cast<uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject) ||
      _PyBytes_Resize(&obj, static_cast<Py_ssize_t>(cap)) < 0) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    // _PyBytes_Resize releases the object on failure; never write through it.
    bytes = reinterpret_cast<PyBytesObject*>(obj);
    return make_dump_error(DumpErrorKind::OutOfMemory);
  }
  bytes = reinterpret_cast<PyBytesObject*>(obj);
  capacity = cap;
  return kDumpOk;
}

}  // namespace quibex
