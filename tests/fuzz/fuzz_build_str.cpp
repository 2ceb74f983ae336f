// The str builders on well-formed UTF-8: every variant the processor runs
// makes the same str as the interpreter's own decoder, of the same (narrowest)
// kind, and every shape routine counts the same characters and widest kind.
#include "deserialize/build_str.h"
#include "deserialize/utf8.h"
#include "harness.h"
#include "support.h"

using namespace quibex;
using fuzzing::check;

namespace {

void check_same_str(PyObject* got, PyObject* want) {
  check(got != nullptr, "builder failed");
  check(PyUnicode_Compare(got, want) == 0, "text differs");
  check(PyUnicode_GET_LENGTH(got) == PyUnicode_GET_LENGTH(want), "length differs");
  check(PyUnicode_KIND(got) == PyUnicode_KIND(want), "kind differs");
  check(PyUnicode_IS_ASCII(got) == PyUnicode_IS_ASCII(want), "ascii flag differs");
  check(PyUnicode_READ(PyUnicode_KIND(got), PyUnicode_DATA(got), PyUnicode_GET_LENGTH(got)) == 0,
        "no terminating NUL");
}

void check_shape(StrShape got, StrShape want, const char* what) {
  check(got.chars == want.chars && got.maxchar == want.maxchar, what);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::start_python();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (validate_utf8_scalar(data, size) != size) return 0;
  Owned want = Owned::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), Py_ssize_t(size), "strict"));
  check(bool(want), "decoder refused valid UTF-8");
  for (const auto& variant : kBuildStrVariants) {
    if (!cpu_has(variant.needs)) continue;
    Owned got = Owned::steal(variant.fn(data, size));
    check_same_str(got.get(), want.get());
  }
  const StrShape shape = str_shape_portable(data, size);
  check(shape.chars == size_t(PyUnicode_GET_LENGTH(want.get())), "shape counts other characters");
  check(shape.maxchar == PyUnicode_MAX_CHAR_VALUE(want.get()), "shape kind differs");
  for (const auto& variant : kStrShapeVariants) {
    if (cpu_has(variant.needs)) check_shape(variant.fn(data, size), shape, variant.name);
  }
  return 0;
}
