// Starts the embedded interpreter with the module built in and imports it,
// once per test process, for unit tests that create Python objects or need
// the module's state.
#pragma once

#include "module_state.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>

QUIBEX_EXPORT PyObject* PyInit_quibex();

namespace quibex::testing_support {

// Hash randomisation is turned off (PYTHONHASHSEED=0, unless the caller set
// it) so that the interpreter's own SipHash can serve as a reference.
inline PyObject* module() {
  if (!Py_IsInitialized()) {
    setenv("PYTHONHASHSEED", "0", 0);
    PyImport_AppendInittab("quibex", PyInit_quibex);
    Py_InitializeEx(0);
  }
  static PyObject* const m = PyImport_ImportModule("quibex");  // kept for the process
  return m;
}

inline void ensure_python() { ASSERT_NE(module(), nullptr); }

// The state of the module, for the routines that take it.
inline ModuleState& state() { return module_state(module()); }

}  // namespace quibex::testing_support
