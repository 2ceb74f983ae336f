// Dicts written under OPT_NON_STR_KEYS: every key is converted to the text
// its value would be written as, then the members are written (sorted by
// that text under OPT_SORT_KEYS).
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// An owned key text (PyMem). Empty texts allocate nothing and point at a
// static empty array, so `bytes` is never null.
struct KeyText {
  size_t capacity;  // 0 when nothing was allocated
  uint8_t* bytes;
  size_t len;
};

// Converts one key with the key options `key_state` (the dict's state word
// without the three passthrough options). On failure *text is untouched.
DumpResult key_to_text(PyObject* key, uint32_t key_state, KeyText* text) noexcept;

// Writes a non-empty dict whose keys may be of any convertible type. Nothing
// is written until every key has been converted.
template <class L>
DumpResult write_dict_non_str(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
