// Starts the embedded interpreter and the module's registry, once per test
// process, for unit tests that create Python objects.
#pragma once

#include "startup.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quibex::testing_support {

// Hash randomisation is turned off (PYTHONHASHSEED=0, unless the caller set
// it) so that the interpreter's own SipHash can serve as a reference.
inline void ensure_python() {
  if (!Py_IsInitialized()) {
    setenv("PYTHONHASHSEED", "0", 0);
    Py_InitializeEx(0);
  }
  ASSERT_EQ(init_registry_once(), 0);
}

}  // namespace quibex::testing_support
