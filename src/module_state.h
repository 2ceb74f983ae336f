// The module's state in one interpreter: everything the start-up resolves or
// creates that is an object of that interpreter. Each interpreter that
// imports quibex gets its own module object and with it its own state
// (zeroed when made); dumps and loads are bound to the module object and
// reach the state through it.
#pragma once

#include "deserialize/reader/reader.h"
#include "typeref/registry.h"

namespace quibex {

struct ModuleState {
  TypeRegistry types;
  ReadCache read;  // the key cache and the reader's kept buffers
};

// The state of the module object that dumps or loads is bound to.
inline ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace quibex
