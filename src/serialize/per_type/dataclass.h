// Instances of dataclasses, written as JSON objects of their members.
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"

namespace quibex {

// Writes the instance's __dict__ entries, or for a slotted dataclass (or one
// without a readable __dict__) its declared fields; members whose names
// begin with "_" are left out. Counts as one container level.
template <class L>
DumpResult serialize_dataclass(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
