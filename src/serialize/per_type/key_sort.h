// Members of a dict to be written in key order: the record the sort moves,
// the key order and the sort.
#pragma once

#include "ffi/python.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quibex {

namespace detail {

// The first min(n, 8) bytes of p as a big-endian word, zero-padded on the
// right, read without touching bytes past n (none for n = 0): comparing two
// such words orders the keys as memcmp over their first 8 bytes would, with
// a key that ends early ordered first unless its padding meets zero bytes.
inline uint64_t key_prefix(const uint8_t* p, uint64_t n) noexcept {
  if (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return __builtin_bswap64(w);
  }
  if (n >= 4) {
    // Two overlapping 4-byte reads; the shared bytes are equal in both.
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    return uint64_t{__builtin_bswap32(head)} << 32 | uint64_t{__builtin_bswap32(tail)} << (8 * (8 - n));
  }
  if (n == 0) return 0;
  // Bytes 0, n / 2 and n - 1 cover all of n = 1 to 3.
  return uint64_t{p[0]} << 56 | uint64_t{p[n / 2]} << (56 - 4 * (n & 2)) | uint64_t{p[n - 1]} << (64 - 8 * n);
}

}  // namespace detail

// The record the sort moves. `prefix` is key_prefix of the text, read once
// when the record is made: most keys differ in their first 8 bytes, so most
// comparisons end at one comparison of two words.
struct MemberKey {
  uint64_t prefix;
  const uint8_t* key;  // UTF-8 bytes of the key text; never null
  uint64_t len;
  uint64_t index;  // the member's place in the order the dict gave
};
static_assert(sizeof(MemberKey) == 32);

inline MemberKey make_member_key(const uint8_t* key, uint64_t len, uint64_t index) noexcept {
  return {detail::key_prefix(key, len), key, len, index};
}

// Byte order of the UTF-8 key texts, which is the order of their code points;
// a proper prefix comes first. Compared 8 bytes at a time as words: keys
// often share long prefixes ("profile_background_...").
inline int compare_keys(const MemberKey& a, const MemberKey& b) noexcept {
  if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
  const uint64_t common = std::min(a.len, b.len);
  if (common <= 8) return (a.len > b.len) - (a.len < b.len);
  for (uint64_t at = 8;; at += 8) {
    const uint64_t wa = detail::key_prefix(a.key + at, a.len - at), wb = detail::key_prefix(b.key + at, b.len - at);
    if (wa != wb) return wa < wb ? -1 : 1;
    // Equal words: the bytes up to min(len, at + 8) are equal (a zero byte
    // of one met the padding of the other only where that one has ended).
    if (common <= at + 8) return (a.len > b.len) - (a.len < b.len);
  }
}

// Sorts in place by compare_keys, O(n log n), allocating nothing. Input
// already in order, or in strictly descending order, costs one linear pass.
// Pairs with equal keys end up in an unspecified relative order.
void sort_pairs(MemberKey* pairs, size_t n) noexcept;

}  // namespace quibex
