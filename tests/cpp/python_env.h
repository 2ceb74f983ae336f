// Starts the embedded interpreter and the module's registry, once per test
// process, for unit tests that create Python objects.
#pragma once

#include "typeref/registry.h"

#include <gtest/gtest.h>

namespace quibex::testing_support {

inline void ensure_python() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  ASSERT_EQ(init_registry_once(), 0);
}

}  // namespace quibex::testing_support
