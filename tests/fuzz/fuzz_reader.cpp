// The JSON reader on arbitrary bytes, through loads and directly. The reader
// must give the same verdict, message and position inside the arena loads
// sizes and with the system allocator; loads must agree with it; and what
// loads builds must serialise and read back to an equal object.
#include "deserialize/loads.h"
#include "deserialize/reader/arena.h"
#include "deserialize/reader/reader.h"
#include "deserialize/utf8.h"
#include "harness.h"
#include "serialize/dumps.h"
#include "support.h"

#include <cstring>
#include <memory>

using namespace quibex;
using fuzzing::check;

namespace {

// The parse buffer size loads uses for a text of `len` bytes.
size_t loads_arena_size(size_t len) { return (((len >> 1) * 24) + 4344) & ~size_t{4095}; }

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
  Owned text = Owned::steal(dumps(nullptr, args, 1, nullptr));
  if (!text) {
    check(is_recursion_limit(), "dumps failed on a loaded document");
    return;
  }
  Owned again = Owned::steal(loads(nullptr, text.get()));
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
  Owned loaded = Owned::steal(loads(nullptr, bytes.get()));
  check(bool(loaded) != (PyErr_Occurred() != nullptr), "loads result and error state disagree");
  if (!loaded) {
    check(PyErr_ExceptionMatches(REGISTRY.decode_error), "loads raised another exception type");
    PyErr_Clear();
  }
  const bool valid = validate_utf8_scalar(data, size) == size;
  if (!valid || size == 0) {
    check(!loaded, "loads accepted invalid UTF-8 or empty input");
    return 0;
  }

  const size_t arena_size = loads_arena_size(size);
  std::unique_ptr<uint8_t[]> block(new uint8_t[arena_size]);
  ArenaAllocator arena{};
  check(arena_init(&arena, block.get(), arena_size), "arena refused the loads buffer");
  ReadError arena_error{};
  DocHeader* in_arena = read(data, size, &arena, &arena_error);
  ReadError system_error{};
  DocHeader* in_system = read(data, size, nullptr, &system_error);
  check((in_arena == nullptr) == (in_system == nullptr), "arena and system reads disagree");
  if (in_arena == nullptr) {
    check(std::strcmp(arena_error.message, system_error.message) == 0, "error messages differ");
    check(arena_error.position == system_error.position, "error positions differ");
    check(arena_error.position <= size, "error position past the end");
  } else {
    check(in_arena->value_count == in_system->value_count, "record counts differ");
    check(in_arena->bytes_read == size, "a read document left bytes unread");
    release_document(in_system);
  }
  check((in_arena != nullptr) == bool(loaded), "loads and the reader disagree");
  if (loaded) check_round_trip(loaded.get());
  return 0;
}
