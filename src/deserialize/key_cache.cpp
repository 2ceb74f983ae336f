#include "deserialize/key_cache.h"

#include "support.h"
#include "typeref/registry.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>

namespace quibex {

KeyMap* KEY_MAP = nullptr;

namespace {

// Whether the cached str holds exactly these UTF-8 bytes. Non-ASCII keys
// get their UTF-8 form cached when they enter the map, so both reads are in
// place.
bool holds_bytes(PyObject* str, const uint8_t* s, size_t n) noexcept {
  const char* utf8;
  Py_ssize_t len;
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    utf8 = static_cast<const char*>(PyUnicode_DATA(str));
    len = PyUnicode_GET_LENGTH(str);
  } else {
    utf8 = ffi::cached_utf8(str, &len);
  }
  return size_t(len) == n && std::memcmp(utf8, s, n) == 0;
}

}  // namespace

void create_key_map() noexcept {
  if (KEY_MAP != nullptr) return;
  auto* map = static_cast<KeyMap*>(alloc_or_abort(sizeof(KeyMap)));
  std::memset(static_cast<void*>(map), 0, sizeof(KeyMap));
  KEY_MAP = map;
}

uint64_t key_hash(const uint8_t* s, size_t n) noexcept { return XXH3_64bits(s, n); }

Py_hash_t store_str_hash(PyObject* s) noexcept {
  const Py_hash_t h = ffi::hash_buffer(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s));
  ffi::set_str_hash(s, h);
  return h;
}

PyObject* key_lookup(const uint8_t* s, size_t n) noexcept {
  const uint64_t h = key_hash(s, n);
  KeyMapSlot& slot = (*KEY_MAP)[key_slot_index(h)];
  // The bytes are compared as well as the hash: two keys that collide on
  // the 64-bit hash must not share a str.
  if (slot.str != nullptr && slot.key_hash == h && holds_bytes(slot.str, s, n)) return Py_NewRef(slot.str);

  PyObject* str = n == 0 ? Py_NewRef(REGISTRY.empty_str) : build_str(s, n);
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

}  // namespace quibex
