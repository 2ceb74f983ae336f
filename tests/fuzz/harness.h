// What the harnesses share: checks that end the run on a failure, and the
// start-up of an embedded interpreter with the module built in, for the
// harnesses that make Python objects.
#pragma once

#include "module_state.h"
#include "support.h"

#include <cstdio>
#include <cstdlib>

QUIBEX_EXPORT PyObject* PyInit_quibex();

namespace quibex::fuzzing {

// The imported module, once start_python has run.
inline PyObject* MODULE = nullptr;

// Once per fuzzing process, from LLVMFuzzerInitialize.
inline void start_python() {
  PyImport_AppendInittab("quibex", PyInit_quibex);
  Py_InitializeEx(0);
  MODULE = PyImport_ImportModule("quibex");
  if (MODULE == nullptr) {
    PyErr_Print();
    std::abort();
  }
}

// Ends the run with a message: libFuzzer records the input that got here.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  if (Py_IsInitialized() && PyErr_Occurred()) PyErr_Print();
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

}  // namespace quibex::fuzzing
