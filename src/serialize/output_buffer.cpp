#include "serialize/output_buffer.h"

namespace quibex {

OutputBuffer::Grown OutputBuffer::grow_bytes(PyBytesObject* bytes, uint64_t capacity, uint64_t needed) noexcept {
  uint64_t cap = capacity;
  do cap *= 2;
  while (cap <= needed);
  PyObject* obj = reinterpret_cast<PyObject*>(bytes);
  if (cap > static_cast<uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
    // Too large to ask for: release the object as a failed resize would.
    Py_DECREF(obj);
    PyErr_NoMemory();
    return {nullptr, capacity};
  }
  if (_PyBytes_Resize(&obj, static_cast<Py_ssize_t>(cap)) < 0) {
    // _PyBytes_Resize releases the object on failure; never write through it.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return {nullptr, capacity};
  }
  return {reinterpret_cast<PyBytesObject*>(obj), cap};
}

PyObject* OutputBuffer::finish() noexcept {
  // ob_sval holds capacity + 1 bytes: the terminator always fits.
  QUIBEX_ASSERT(length <= capacity);
  last_finished_length.store(length, std::memory_order_relaxed);
  bytes->ob_sval[length] = '\0';
  PyObject* obj = reinterpret_cast<PyObject*>(bytes);
  const uint64_t unused = capacity - length;
  if (unused <= kShrinkSlack || unused <= 3 * length) {
    // The object keeps its block: only the size changes.
    Py_SET_SIZE(bytes, static_cast<Py_ssize_t>(length));
    return obj;
  }
  // A shrinking reallocation, which the allocator does in place for large
  // blocks; _PyBytes_Resize releases the object if it fails.
  if (_PyBytes_Resize(&obj, static_cast<Py_ssize_t>(length)) < 0) return nullptr;
  return obj;
}

}  // namespace quibex
