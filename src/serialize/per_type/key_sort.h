// Members of a dict to be written in key order: the pair record, the key
// order and the sort.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

struct KeyValuePair {
  const uint8_t* key;  // UTF-8 bytes of the key text; never null
  uint64_t len;
  PyObject* value;
};
static_assert(sizeof(KeyValuePair) == 24);

// Byte order of the UTF-8 key texts, which is the order of their code points;
// a proper prefix comes first.
int compare_keys(const KeyValuePair& a, const KeyValuePair& b) noexcept;

// Sorts in place by compare_keys, O(n log n), allocating nothing. Input
// already in order, or in strictly descending order, costs one linear pass.
// Pairs with equal keys end up in an unspecified relative order.
void sort_pairs(KeyValuePair* pairs, size_t n) noexcept;

}  // namespace quibex
