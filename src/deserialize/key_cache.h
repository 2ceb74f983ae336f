// KEY_MAP: the process-wide cache of short object keys. JSON documents
// repeat the same keys over and over, so each short key str is built once
// and then reused, hash included, by every later dict of every later call.
// Used only by loads, under the interpreter lock.
#pragma once

#include "ffi/python.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quibex {

// Keys of at most this many UTF-8 bytes go through the cache.
inline constexpr size_t kMaxCachedKeyLength = 64;

struct KeyMapSlot {
  uint64_t key_hash;  // XXH3-64 of the key's UTF-8 bytes, when occupied
  PyObject* str;      // the cached key (one reference owned), or null when empty
};
static_assert(sizeof(KeyMapSlot) == 16);

// Direct-mapped: each key hash has exactly one slot.
using KeyMap = std::array<KeyMapSlot, 2048>;
static_assert(sizeof(KeyMap) == 32768);

// Created once by the registry initialisation, never destroyed.
extern KeyMap* KEY_MAP;

// Creates KEY_MAP unless it exists already.
void create_key_map() noexcept;

// XXH3-64 (default secret, seed 0) of the key's bytes.
uint64_t key_hash(const uint8_t* s, size_t n) noexcept;

// SipHash-1-3 of one 8-byte little-endian message under the key (k0, k1).
constexpr uint64_t siphash13(uint64_t k0, uint64_t k1, uint64_t m) noexcept {
  uint64_t v0 = k0 ^ 0x736f6d6570736575, v1 = k1 ^ 0x646f72616e646f6d;
  uint64_t v2 = k0 ^ 0x6c7967656e657261, v3 = k1 ^ 0x7465646279746573;
  auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  auto round = [&] {
    v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
    v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
  };
  v3 ^= m, round(), v0 ^= m;                   // the one message block
  const uint64_t last = uint64_t{8} << 56;     // final block: the length, no bytes left
  v3 ^= last, round(), v0 ^= last;
  v2 ^= 0xff, round(), round(), round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// Slot of a key hash: low 11 bits of SipHash-1-3 of it under a fixed key
// (any fixed key works; it only decides which keys share a slot).
constexpr size_t key_slot_index(uint64_t key_hash) noexcept {
  return siphash13(0x0706050403020100, 0x0f0e0d0c0b0a0908, key_hash) & (std::tuple_size_v<KeyMap> - 1);
}

// The interpreter's hash of a str, computed and stored in it. Safe only on a
// str that no other code has seen yet, or whose stored hash is this value.
Py_hash_t store_str_hash(PyObject* s) noexcept;

// The key str for n <= kMaxCachedKeyLength bytes of well-formed UTF-8, from
// KEY_MAP or built and cached. New reference with its hash stored, or null
// with MemoryError set.
PyObject* key_lookup(const uint8_t* s, size_t n) noexcept;

// The keys of one document in order: each lookup gives what key_lookup gives,
// faster when the key is the one that followed the previous key before.
class KeySequence {
 public:
  PyObject* lookup(const uint8_t* s, size_t n) noexcept;

 private:
  PyObject* previous_ = nullptr;  // the last key found (only its address is used)
};

}  // namespace quibex
