// Turning a parsed document into Python objects.
#pragma once

#include "deserialize/reader/doc.h"
#include "ffi/python.h"

namespace quibex {

// The Python object for the record `root` and everything inside it: new
// reference, or null with the interpreter's exception (MemoryError) set, in
// which case everything built so far has been released.
PyObject* build_document(const DocValue* root) noexcept;

}  // namespace quibex
