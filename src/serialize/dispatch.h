// Classification of values and the top-level serialiser of each layout.
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"

namespace quibex {

// Writes frame.obj in the layout L (CompactLayout or IndentWriter).
template <class L>
DumpResult serialize(const SerializerFrame& frame, L& layout) noexcept;

// Kind of a value whose type failed the exact tests.
ValueKind classify(PyTypeObject* type, uint32_t state) noexcept;

// Container writers; the frame's depth has already been raised for the container.
template <class L>
DumpResult write_list(PyObject* sequence, PyObject* default_, uint32_t state, L& layout) noexcept;
template <class L>
DumpResult write_dict(const SerializerFrame& frame, L& layout) noexcept;

// Delegating handlers (default hook, enum members, fragments).
template <class L>
DumpResult serialize_default(const SerializerFrame& frame, L& layout) noexcept;
template <class L>
DumpResult serialize_enum(const SerializerFrame& frame, L& layout) noexcept;
DumpResult serialize_fragment(PyObject* content, OutputBuffer& out) noexcept;

}  // namespace quibex
