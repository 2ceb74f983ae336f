// Dicts written with their members in key order (OPT_SORT_KEYS).
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"

namespace quibex {

// Writes a non-empty dict whose keys must be exactly str, members sorted by
// key. Nothing is written until every key has been checked.
template <class L>
DumpResult write_dict_sorted(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
