#include "deserialize/error/load_error.h"

#include "deserialize/build_str.h"
#include "support.h"
#include "typeref/registry.h"

#include <algorithm>
#include <cstring>

namespace quibex {
namespace {

// New reference to the str of n bytes of UTF-8, or null.
PyObject* text_str(const uint8_t* s, size_t n) noexcept {
  return n == 0 ? PyUnicode_New(0, 0) : build_str(s, n);
}

}  // namespace

size_t char_position(const uint8_t* document, size_t length, size_t position) noexcept {
  if (document == nullptr) return 0;
  return str_shape_portable(document, std::min(position, length)).chars;
}

void raise_load_error(const LoadError& error, PyObject* type) noexcept {
  // A failure of the interpreter (a str it could not encode) may still be
  // pending; it must not be around while the exception class runs.
  PyErr_Clear();
  const uint8_t* document = error.document;
  const size_t length = document == nullptr ? 0 : error.document_length;
  // The document is copied into a str first: allocating the tuple below may
  // start a garbage collection, whose finalizers could change a bytearray
  // input.
  Owned msg = Owned::steal(text_str(reinterpret_cast<const uint8_t*>(error.message), std::strlen(error.message)));
  Owned doc = Owned::steal(text_str(document, length));
  Owned pos = Owned::steal(PyLong_FromSize_t(char_position(document, length, error.position)));
  if (!msg || !doc || !pos) return;  // MemoryError is pending
  PyObject* args = PyTuple_New(3);
  if (args == nullptr) return;
  PyTuple_SET_ITEM(args, 0, msg.release());
  PyTuple_SET_ITEM(args, 1, doc.release());
  PyTuple_SET_ITEM(args, 2, pos.release());
  PyErr_SetObject(type, args);
  Py_DECREF(args);
}

}  // namespace quibex
