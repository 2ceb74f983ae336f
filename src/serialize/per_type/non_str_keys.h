// Dicts written under OPT_NON_STR_KEYS: every key is converted to the text
// its value would be written as, then the members are written (sorted by
// that text under OPT_SORT_KEYS).
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"
#include "serialize/per_type/dict_members.h"
#include "support.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Converts one key with the key options `key_state` (the dict's state word
// without the three passthrough options). `room` holds kKeyTextRoom bytes.
DumpResult key_to_text(PyObject* key, uint32_t key_state, uint8_t* room, KeyText* text, TypeRegistry& r) noexcept;

// Writes a non-empty dict whose keys may be of any convertible type. Nothing
// is written until every key has been converted.
template <class L>
DumpResult write_dict_non_str(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
