// The module's start-up in one interpreter.
#pragma once

#include "module_state.h"

namespace quibex {

// Fills a zeroed module state with the interpreter's types and names and
// creates the module's own types (Fragment, JSONDecodeError) for `module`.
// Returns -1 with the exception set if a step failed; what was filled is
// released by clear_module_state, as on success.
int fill_module_state(ModuleState& state, PyObject* module) noexcept;

// Visits every object the state holds, for the module's traversal.
int traverse_module_state(ModuleState& state, visitproc visit, void* arg) noexcept;

// Releases every object and buffer the state holds; it is zeroed again.
void clear_module_state(ModuleState& state) noexcept;

}  // namespace quibex
