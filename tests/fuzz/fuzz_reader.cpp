// The JSON reader on arbitrary bytes, through loads and directly. The reader
// reads a buffer that ends right after the text's zero byte, so that any
// read past it is caught; loads must agree with it on bytes and on a
// memoryview (which loads copies); and what loads builds must serialise and
// read back to an equal object.
#include "deserialize/loads.h"
#include "deserialize/reader/reader.h"
#include "deserialize/utf8.h"
#include "harness.h"
#include "serialize/dumps.h"
#include "support.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace quibex;
using fuzzing::check;

namespace {

// Whether a failed dumps of a loaded document was its nesting limit, the
// one way a document loads accepts can fail to serialise.
bool is_recursion_limit() {
  PyObject* type = PyErr_Occurred();
  if (type == nullptr || !PyErr_GivenExceptionMatches(type, PyExc_TypeError)) return false;
  PyObject* raised = ffi::take_raised_exception();
  Owned text = Owned::steal(PyObject_Str(raised));
  Py_DECREF(raised);
  return text && PyUnicode_CompareWithASCIIString(text.get(), "Recursion limit reached") == 0;
}

void check_round_trip(PyObject* value) {
  PyObject* args[] = {value};
  Owned text = Owned::steal(dumps(fuzzing::MODULE, args, 1, nullptr));
  if (!text) {
    check(is_recursion_limit(), "dumps failed on a loaded document");
    return;
  }
  Owned again = Owned::steal(loads(fuzzing::MODULE, text.get()));
  check(bool(again), "loads failed on dumps output");
  check(PyObject_RichCompareBool(value, again.get(), Py_EQ) == 1, "round trip changed the value");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::start_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Owned bytes = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), Py_ssize_t(size)));
  Owned loaded = Owned::steal(loads(fuzzing::MODULE, bytes.get()));
  check(bool(loaded) != (PyErr_Occurred() != nullptr), "loads result and error state disagree");
  if (!loaded) {
    check(PyErr_ExceptionMatches(module_state(fuzzing::MODULE).types.decode_error), "loads raised another exception type");
    PyErr_Clear();
  }
  const bool valid = validate_utf8_scalar(data, size) == size;
  if (!valid || size == 0) {
    check(!loaded, "loads accepted invalid UTF-8 or empty input");
    return 0;
  }

  std::unique_ptr<uint8_t[]> text(new uint8_t[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = 0;
  ReadError error{};
  const bool ascii = std::all_of(data, data + size, [](uint8_t c) { return c < 0x80; });
  Owned read = Owned::steal(read_document(text.get(), size, ascii, &error, module_state(fuzzing::MODULE).read));
  check(!PyErr_Occurred(), "the reader raised");
  if (!read) {
    check(error.message != nullptr, "a failed read has no message");
    check(error.position <= size, "error position past the end");
  }
  check(bool(read) == bool(loaded), "loads and the reader disagree");

  Owned view = Owned::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<uint8_t*>(data)),
                                                    Py_ssize_t(size), PyBUF_READ));
  Owned from_view = Owned::steal(loads(fuzzing::MODULE, view.get()));
  check(bool(from_view) == bool(loaded), "loads of bytes and of a memoryview disagree");
  if (!from_view) PyErr_Clear();
  if (loaded) check_round_trip(loaded.get());
  return 0;
}
