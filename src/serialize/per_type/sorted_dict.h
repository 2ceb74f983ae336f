// Dicts written with their members in key order (OPT_SORT_KEYS), and the
// member writer shared with the non-string-key dicts.
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"
#include "serialize/per_type/key_sort.h"

namespace quibex {

// Writes a non-empty dict whose keys must be exactly str, members sorted by
// key. Nothing is written until every key has been checked.
template <class L>
DumpResult write_dict_sorted(const SerializerFrame& frame, L& layout) noexcept;

// Writes "{", the n pairs as members in array order, "}". Values are
// serialised with the dict frame's default and state.
template <class L>
DumpResult write_pairs(const KeyValuePair* pairs, size_t n, const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
