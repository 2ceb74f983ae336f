// The UTF-8 validators on arbitrary bytes: the scalar routine, the AVX2
// routine and the selected one give the same verdict, and the scalar one's
// valid prefix ends where the interpreter's strict decoder finds the first
// malformed byte.
#include "deserialize/utf8.h"
#include "harness.h"
#include "support.h"
#include "typeref/cpu.h"

using namespace quibex;
using fuzzing::check;

namespace {

// Where the interpreter's decoder stops: the input size when it decodes.
size_t decoder_prefix(const uint8_t* data, size_t size) {
  Owned text = Owned::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), Py_ssize_t(size), "strict"));
  if (text) return size;
  check(PyErr_ExceptionMatches(PyExc_UnicodeDecodeError), "decoder raised another exception type");
  Owned error = Owned::steal(ffi::take_raised_exception());
  Py_ssize_t start = -1;
  check(PyUnicodeDecodeError_GetStart(error.get(), &start) == 0, "no start in the decode error");
  return size_t(start);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::start_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t prefix = validate_utf8_scalar(data, size);
  const bool valid = prefix == size;
  check(prefix == decoder_prefix(data, size), "valid prefix differs from the decoder's");
  for (const auto& variant : kValidateUtf8Variants) {
    if (cpu_has(variant.needs)) check(variant.fn(data, size) == valid, variant.name);
  }
  check(validate_utf8(data, size) == valid, "selected validator disagrees");
  return 0;
}
