#include "deserialize/key_cache.h"

#include "typeref/registry.h"

#define XXH_INLINE_ALL
#include <xxhash.h>


namespace quibex {

namespace {

using key_cache_detail::holds_bytes;

// A miss: builds the key, caches it in `slot` and returns a new reference.
[[gnu::noinline]] PyObject* key_insert(KeyMapSlot& slot, uint64_t h, const uint8_t* s, size_t n) noexcept {
  PyObject* str = n == 0 ? PyUnicode_New(0, 0) : build_str(s, n);
  if (str == nullptr) return nullptr;
  if (!PyUnicode_IS_ASCII(str) && PyUnicode_AsUTF8AndSize(str, nullptr) == nullptr) {
    Py_DECREF(str);
    return nullptr;
  }
  store_str_hash(str);
  // The evicted key stays alive in every dict that holds it.
  Py_XDECREF(slot.str);
  slot = {h, str};
  return Py_NewRef(str);
}

// key_lookup, also giving the slot of the key.
inline PyObject* lookup_in_slot(KeyCache& cache, const uint8_t* s, size_t n, KeyMapSlot** where) noexcept {
  const uint64_t h = key_hash(s, n);
  KeyMapSlot& slot = cache.slots[key_slot_index(h)];
  *where = &slot;
  // The bytes are compared as well as the hash: two keys that collide on
  // the 64-bit hash must not share a str.
  PyObject* str = slot.str;
  if (str != nullptr && slot.key_hash == h && holds_bytes(str, s, n)) [[likely]] return Py_NewRef(str);
  return key_insert(slot, h, s, n);
}

}  // namespace

void clear_key_cache(KeyCache& cache) noexcept {
  for (KeyMapSlot& slot : cache.slots) {
    Py_CLEAR(slot.str);
    slot.key_hash = 0;
  }
}

uint64_t key_hash(const uint8_t* s, size_t n) noexcept { return XXH3_64bits(s, n); }

Py_hash_t store_str_hash(PyObject* s) noexcept {
  const Py_hash_t h = ffi::hash_buffer(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s));
  ffi::set_str_hash(s, h);
  return h;
}

PyObject* key_lookup(KeyCache& cache, const uint8_t* s, size_t n) noexcept {
  KeyMapSlot* slot;
  return lookup_in_slot(cache, s, n, &slot);
}

PyObject* KeySequence::lookup_missed(const uint8_t* s, size_t n, uint16_t& follower) noexcept {
  KeyMapSlot* slot;
  PyObject* str = lookup_in_slot(*cache_, s, n, &slot);
  if (str == nullptr) return nullptr;
  follower = static_cast<uint16_t>(slot - cache_->slots.data());
  previous_hash_ = slot->key_hash;
  return str;
}

}  // namespace quibex
