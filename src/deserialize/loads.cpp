#include "deserialize/loads.h"

#include "deserialize/error/load_error.h"
#include "deserialize/reader/reader.h"
#include "deserialize/utf8.h"
#include "module_state.h"

#include <algorithm>
#include <cstring>

namespace quibex {
namespace {

constexpr const char* kWrongType = "Input must be bytes, bytearray, memoryview, or str";
constexpr const char* kNotUtf8 = "str is not valid UTF-8: surrogates not allowed";
constexpr const char* kEmpty = "Input is a zero-length, empty document";

// The UTF-8 text of the argument, borrowed from it for the call and followed
// by a zero byte; `copy` is set when the text had to be copied for that.
struct Text {
  const uint8_t* data;
  size_t len;
  uint8_t* copy;
  bool ascii;  // every byte is below 0x80
};

// Whether the n bytes at s are all below 0x80: the bytes of 64-byte blocks
// are ORed together, 1 KiB between tests, which the compiler turns into
// vector code.
bool all_ascii(const uint8_t* s, size_t n) noexcept {
  constexpr uint64_t kHigh = 0x8080808080808080u;
  size_t i = 0;
  while (n - i >= 64) {
    uint64_t any = 0;
    for (size_t end = std::min(n & ~size_t{63}, i + 1024); i < end; i += 64) {
      uint64_t w[8];
      std::memcpy(w, s + i, 64);
      any |= w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7];
    }
    if ((any & kHigh) != 0) return false;
  }
  uint8_t any = 0;
  for (; i < n; ++i) any |= s[i];
  return any < 0x80;
}

// Marks an input that failed for want of memory: MemoryError is set.
const char* const kNoMemory = "";

// Byte input is validated; the text of a str is well-formed by construction.
// bytes and bytearray keep a zero byte after their contents.
// ASCII text needs no further validation.
const char* checked_bytes(const void* data, Py_ssize_t len, Text& text) noexcept {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const bool ascii = all_ascii(bytes, size_t(len));
  text = {bytes, size_t(len), nullptr, ascii};
  return ascii || validate_utf8(text.data, text.len) ? nullptr : kNotUtf8;
}

// A memoryview promises nothing after its bytes (nor a bytearray whose
// trailing zero is gone): they are copied.
const char* copied_bytes(const void* data, Py_ssize_t len, Text& text) noexcept {
  auto* copy = static_cast<uint8_t*>(PyMem_Malloc(size_t(len) + 1));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return kNoMemory;
  }
  if (len != 0) std::memcpy(copy, data, size_t(len));
  copy[len] = 0;
  const char* failure = checked_bytes(copy, len, text);
  text.copy = copy;
  return failure;
}

// Fills `text` from the argument; null on success, else the failure message.
// Only the exact types are accepted, never subclasses.
const char* input_text(PyObject* obj, Text& text) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBytes_Type) return checked_bytes(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), text);
  if (type == &PyUnicode_Type) {
    // Compact ASCII and an already cached UTF-8 form are read in place;
    // both end with a zero byte.
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {
      text = {static_cast<const uint8_t*>(PyUnicode_DATA(obj)), size_t(PyUnicode_GET_LENGTH(obj)), nullptr, true};
      return nullptr;
    }
    Py_ssize_t len = 0;
    const char* utf8 = ffi::cached_utf8(obj, &len);
    if (utf8 == nullptr || len == 0) utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return PyErr_ExceptionMatches(PyExc_MemoryError) ? kNoMemory : kNotUtf8;  // lone surrogates
    text = {reinterpret_cast<const uint8_t*>(utf8), size_t(len), nullptr, false};
    return nullptr;
  }
  if (type == &PyByteArray_Type) {
    const char* data = PyByteArray_AS_STRING(obj);
    const Py_ssize_t len = PyByteArray_GET_SIZE(obj);
    return data[len] == 0 ? checked_bytes(data, len, text) : copied_bytes(data, len, text);
  }
  if (type == &PyMemoryView_Type) {
    // A released view no longer owns its memory: it is refused like one
    // that is not contiguous.
    if (ffi::memoryview_released(obj)) return kWrongType;
    Py_buffer* view = PyMemoryView_GET_BUFFER(obj);
    if (!PyBuffer_IsContiguous(view, 'C')) return kWrongType;
    return copied_bytes(view->buf, view->len, text);
  }
  return kWrongType;
}

PyObject* fail(const LoadError& error, const ModuleState& state) noexcept {
  raise_load_error(error, state.types.decode_error);
  return nullptr;
}

}  // namespace
}  // namespace quibex

PyObject* loads(PyObject* module, PyObject* obj) {
  using namespace quibex;
  ModuleState& state = module_state(module);
  Text text{};
  const char* failure = input_text(obj, text);
  struct CopyRelease {
    uint8_t* copy;
    ~CopyRelease() { PyMem_Free(copy); }
  } release{text.copy};
  if (failure == kNoMemory) return nullptr;
  if (failure != nullptr) return fail({failure, nullptr, 0, 0}, state);
  if (text.len == 0) return fail({kEmpty, nullptr, 0, 0}, state);
  if (text.len == 2) {
    if (std::memcmp(text.data, "\"\"", 2) == 0) return PyUnicode_New(0, 0);
    if (std::memcmp(text.data, "{}", 2) == 0) return PyDict_New();
    if (std::memcmp(text.data, "[]", 2) == 0) return PyList_New(0);
  }

  // No collection runs while the objects are built: every object made here
  // is reachable from the result, so a collection could free none of them,
  // and on a large document the repeated collections would cost several
  // times the building itself. It also keeps finalisers of unrelated
  // garbage from running while containers are half filled, and from
  // changing a bytearray that is read in place.
  ReadError error{};
  const int collecting = PyGC_Disable();
  PyObject* result = read_document(text.data, text.len, text.ascii, &error, state.read);
  if (collecting) PyGC_Enable();
  if (result == nullptr && error.category != ReadErrorCategory::Memory) {
    return fail({error.message, text.data, text.len, error.position}, state);
  }
  return result;
}
