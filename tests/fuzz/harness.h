// What the harnesses share: checks that end the run on a failure, and the
// start-up of an embedded interpreter and the module's registry for the
// harnesses that make Python objects.
#pragma once

#include "startup.h"
#include "typeref/registry.h"

#include <cstdio>
#include <cstdlib>

namespace quibex::fuzzing {

// Once per fuzzing process, from LLVMFuzzerInitialize.
inline void start_python() {
  Py_InitializeEx(0);
  if (init_registry_once() != 0) {
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
