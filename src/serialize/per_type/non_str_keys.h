// Dicts written under OPT_NON_STR_KEYS: every key is converted to the text
// its value would be written as, then the members are written (sorted by
// that text under OPT_SORT_KEYS).
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"
#include "support.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Room for any key text that is written rather than borrowed: a date, time
// or datetime, a UUID, a signed 64-bit integer, a double.
inline constexpr size_t kKeyTextRoom = 40;

// A converted key: its UTF-8 text, borrowed from `owner` (the str itself,
// or the str an enum member stands for) or written into the caller's room.
struct KeyText {
  const uint8_t* bytes;
  size_t len;
  Owned owner;  // null when the text lies in the room
};

// Converts one key with the key options `key_state` (the dict's state word
// without the three passthrough options). `room` holds kKeyTextRoom bytes.
DumpResult key_to_text(PyObject* key, uint32_t key_state, uint8_t* room, KeyText* text) noexcept;

// Writes a non-empty dict whose keys may be of any convertible type. Nothing
// is written until every key has been converted.
template <class L>
DumpResult write_dict_non_str(const SerializerFrame& frame, L& layout) noexcept;

}  // namespace quibex
