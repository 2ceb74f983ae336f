#include "deserialize/key_cache.h"

#include "support.h"
#include "typeref/registry.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <emmintrin.h>

#include <cstring>

namespace quibex {

KeyMap* KEY_MAP = nullptr;

namespace {

inline uint64_t load_u64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t load_u32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Whether the n <= 64 bytes at a and b are equal. Reads only bytes inside
// both: wide compares overlap at the end instead of running past it.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) noexcept {
  if (n >= 16) {
    unsigned equal = 0xFFFF;
    for (size_t i = 0; i + 16 < n; i += 16) {
      equal &= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)))));
    }
    equal &= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n - 16)),
                                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n - 16)))));
    return equal == 0xFFFF;
  }
  if (n >= 8) return ((load_u64(a) ^ load_u64(b)) | (load_u64(a + n - 8) ^ load_u64(b + n - 8))) == 0;
  if (n >= 4) return ((load_u32(a) ^ load_u32(b)) | (load_u32(a + n - 4) ^ load_u32(b + n - 4))) == 0;
  // 0 to 3 bytes: the first, middle and last cover them all.
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Whether the cached str holds exactly these UTF-8 bytes. Non-ASCII keys
// get their UTF-8 form cached when they enter the map, so both reads are in
// place.
inline bool holds_bytes(PyObject* str, const uint8_t* s, size_t n) noexcept {
  const uint8_t* utf8;
  Py_ssize_t len;
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    utf8 = static_cast<const uint8_t*>(PyUnicode_DATA(str));
    len = PyUnicode_GET_LENGTH(str);
  } else {
    utf8 = reinterpret_cast<const uint8_t*>(ffi::cached_utf8(str, &len));
  }
  return size_t(len) == n && same_bytes(utf8, s, n);
}

// A miss: builds the key, caches it in `slot` and returns a new reference.
[[gnu::noinline]] PyObject* key_insert(KeyMapSlot& slot, uint64_t h, const uint8_t* s, size_t n) noexcept {
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

// The cached key, and its slot, that last followed some key in a document:
// records repeat their keys in the same order, so the key after a given one
// is most often the one that followed it before. Indexed by a hash of the
// preceding key's address. Entries own nothing and may be stale; one is
// used only while its slot still holds its str, which keeps the str alive.
struct KeyFollower {
  PyObject* str;
  KeyMapSlot* slot;
};
std::array<KeyFollower, 256> FOLLOWERS;

KeyFollower& follower_of(PyObject* previous) noexcept {
  const auto a = reinterpret_cast<uintptr_t>(previous);
  return FOLLOWERS[((a >> 4) ^ (a >> 12)) & (FOLLOWERS.size() - 1)];
}

// key_lookup, also giving the slot of the key.
inline PyObject* lookup_in_slot(const uint8_t* s, size_t n, KeyMapSlot** where) noexcept {
  const uint64_t h = key_hash(s, n);
  KeyMapSlot& slot = (*KEY_MAP)[key_slot_index(h)];
  *where = &slot;
  // The bytes are compared as well as the hash: two keys that collide on
  // the 64-bit hash must not share a str.
  PyObject* str = slot.str;
  if (str != nullptr && slot.key_hash == h && holds_bytes(str, s, n)) [[likely]] return Py_NewRef(str);
  return key_insert(slot, h, s, n);
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
  KeyMapSlot* slot;
  return lookup_in_slot(s, n, &slot);
}

// A follower whose slot still holds its str, with the same bytes as the key,
// is exactly what key_lookup finds: the slot of those bytes' hash, holding
// that str. Only the hashing is skipped.
PyObject* KeySequence::lookup(const uint8_t* s, size_t n) noexcept {
  KeyFollower& follower = follower_of(previous_);
  PyObject* str = follower.str;
  if (str != nullptr && follower.slot->str == str && holds_bytes(str, s, n)) {
    Py_INCREF(str);
  } else {
    KeyMapSlot* slot;
    str = lookup_in_slot(s, n, &slot);
    if (str == nullptr) return nullptr;
    follower = {str, slot};
  }
  previous_ = str;
  return str;
}

}  // namespace quibex
