// numpy scalars under OPT_SERIALIZE_NUMPY.
#pragma once

#include "serialize/frame.h"
#include "serialize/output_buffer.h"
#include "typeref/registry.h"

namespace quibex {

// Writes a value whose type is exactly one of numpy's thirteen scalar types,
// read from the scalar's value field. Only datetime64 can fail.
DumpResult write_numpy_scalar(PyObject* scalar, OptionSet options, OutputBuffer& out, TypeRegistry& r) noexcept;

}  // namespace quibex
