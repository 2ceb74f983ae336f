// The value an enum member stands for, shared by the value and key writers.
#pragma once

#include "serialize/frame.h"
#include "serialize/output_buffer.h"
#include "support.h"
#include "typeref/registry.h"

namespace quibex {

// The object an enum member is written as: its `value` attribute, followed
// through members whose value is again a member that `state` classifies as
// an enum (new reference in *value). Fails with `unreadable` for the member
// whose `value` cannot be read, its exception pending as the cause, and with
// RecursionLimit when 255 members in a row lead to one another (a member
// built to be its own value would otherwise be followed for ever).
DumpResult enum_final_value(PyObject* member, uint32_t state, DumpErrorKind unreadable, Owned* value,
                            TypeRegistry& r) noexcept;

}  // namespace quibex
