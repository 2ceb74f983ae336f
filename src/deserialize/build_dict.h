// Making the dicts of loads: a str-only key table sized for the pairs and
// filled in place, laid out as the interpreter's own insertions would leave
// it, so the dict never resizes, hashes or probes through the general path.
#pragma once

#include "ffi/python.h"

namespace quibex {

// New reference: the dict of the n key, value pairs at `pairs` (references
// stolen). Every key is an exact str whose hash is stored. A repeated key
// keeps the first key object and takes the last value. Null with
// MemoryError set on exhaustion, the pairs released.
PyObject* build_dict(PyObject** pairs, Py_ssize_t n) noexcept;

}  // namespace quibex
