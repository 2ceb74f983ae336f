#include "deserialize/loads.h"

#include "deserialize/build.h"
#include "deserialize/error/load_error.h"
#include "deserialize/parse_buffer.h"
#include "deserialize/reader/arena.h"
#include "deserialize/reader/reader.h"
#include "deserialize/utf8.h"
#include "typeref/registry.h"

#include <cstring>

namespace quibex {
namespace {

constexpr const char* kWrongType = "Input must be bytes, bytearray, memoryview, or str";
constexpr const char* kNotUtf8 = "str is not valid UTF-8: surrogates not allowed";
constexpr const char* kEmpty = "Input is a zero-length, empty document";
constexpr const char* kNoBuffer = "Not enough memory to allocate buffer for parsing";

// The UTF-8 text of the argument, borrowed from it for the call.
struct Text {
  const uint8_t* data;
  size_t len;
};

// Byte input is validated; the text of a str is well-formed by construction.
const char* checked_bytes(const void* data, Py_ssize_t len, Text& text) noexcept {
  text = {static_cast<const uint8_t*>(data), size_t(len)};
  return validate_utf8(text.data, text.len) ? nullptr : kNotUtf8;
}

// Fills `text` from the argument; null on success, else the failure message.
// Only the exact types are accepted, never subclasses.
const char* input_text(PyObject* obj, Text& text) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == REGISTRY.bytes_type) return checked_bytes(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), text);
  if (type == REGISTRY.str_type) {
    // Compact ASCII and an already cached UTF-8 form are read in place.
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {
      text = {static_cast<const uint8_t*>(PyUnicode_DATA(obj)), size_t(PyUnicode_GET_LENGTH(obj))};
      return nullptr;
    }
    Py_ssize_t len = 0;
    const char* utf8 = ffi::cached_utf8(obj, &len);
    if (utf8 == nullptr || len == 0) utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return kNotUtf8;  // lone surrogates
    text = {reinterpret_cast<const uint8_t*>(utf8), size_t(len)};
    return nullptr;
  }
  if (type == &PyByteArray_Type) return checked_bytes(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj), text);
  if (type == &PyMemoryView_Type) {
    // A released view no longer owns its memory: it is refused like one
    // that is not contiguous.
    if (ffi::memoryview_released(obj)) return kWrongType;
    Py_buffer* view = PyMemoryView_GET_BUFFER(obj);
    if (!PyBuffer_IsContiguous(view, 'C')) return kWrongType;
    return checked_bytes(view->buf, view->len, text);
  }
  return kWrongType;
}

PyObject* fail(const LoadError& error) noexcept {
  raise_load_error(error);
  return nullptr;
}

}  // namespace
}  // namespace quibex

PyObject* loads(PyObject*, PyObject* obj) {
  using namespace quibex;
  Text text;
  if (const char* message = input_text(obj, text)) return fail({message, nullptr, 0, 0});
  if (text.len == 0) return fail({kEmpty, nullptr, 0, 0});
  if (text.len == 2) {
    if (std::memcmp(text.data, "\"\"", 2) == 0) return ffi::immortal_ref(REGISTRY.empty_str);
    if (std::memcmp(text.data, "{}", 2) == 0) return PyDict_New();
    if (std::memcmp(text.data, "[]", 2) == 0) return PyList_New(0);
  }

  // One block per call holds everything the reader makes; nothing in it
  // survives the call.
  const size_t size = parse_buffer_size(text.len);
  void* buffer = PyMem_Malloc(size);
  if (buffer == nullptr) return fail({kNoBuffer, text.data, text.len, 0});
  prepare_parse_buffer(buffer, size, text.len);
  ArenaAllocator arena{};
  arena_init(&arena, buffer, size);  // cannot fail: the block is at least 4096 bytes

  ReadError error{};
  DocHeader* doc = read(text.data, text.len, &arena, &error);
  if (doc == nullptr) {
    PyMem_Free(buffer);
    return fail({error.message, text.data, text.len, error.position});
  }
  // No collection runs while the objects are built: every object made here
  // is reachable from the result, so a collection could free none of them,
  // and on a large document the repeated collections would cost several
  // times the building itself. It also keeps finalisers of unrelated
  // garbage from running while containers are half filled.
  const int collecting = PyGC_Disable();
  PyObject* result = build_document(doc->root);
  if (collecting) PyGC_Enable();
  PyMem_Free(buffer);
  return result;
}
