// The key cache of short object keys. JSON documents repeat the same keys
// over and over, so each short key str is built once and then reused, hash
// included, by every later dict of every later call. One cache per
// interpreter, in its module state: the strs are that interpreter's objects.
// Used only by loads, under that interpreter's lock.
#pragma once

#include "ffi/python.h"
#include "typeref/cpu.h"

#if QUIBEX_X86
#include <emmintrin.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The slot of the cached key that last followed some key at some depth of a
// document: records repeat their keys in the same order, so the key after a
// given one at a given depth is most often the one that followed it before.
// Indexed by the preceding key's hash mixed with the depth. An entry is
// only a guess: the slot it names may hold another key by now.
using KeyFollowers = std::array<uint16_t, 4096>;

// One interpreter's cache: zeroed when made (every slot empty, every guess
// slot 0), emptied by clear_key_cache.
struct KeyCache {
  KeyMap slots;
  KeyFollowers followers;
};

// Releases every cached key; the slots are empty again.
void clear_key_cache(KeyCache& cache) noexcept;

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
// the cache or built and cached there. New reference with its hash stored, or null
// with MemoryError set.
PyObject* key_lookup(KeyCache& cache, const uint8_t* s, size_t n) noexcept;

namespace key_cache_detail {

[[gnu::always_inline]] inline uint64_t load_u64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
[[gnu::always_inline]] inline uint32_t load_u32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Whether the n <= 64 bytes at a and b are equal. Reads only bytes inside
// both: wide compares overlap at the end instead of running past it.
[[gnu::always_inline]] inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) noexcept {
  if (n >= 16) {
#if QUIBEX_X86
    unsigned equal = 0xFFFF;
    for (size_t i = 0; i + 16 < n; i += 16) {
      equal &= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)))));
    }
    equal &= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n - 16)),
                                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n - 16)))));
    return equal == 0xFFFF;
#else
    uint64_t diff = 0;
    const auto diff16 = [&](size_t i) {
      return (load_u64(a + i) ^ load_u64(b + i)) | (load_u64(a + i + 8) ^ load_u64(b + i + 8));
    };
    for (size_t i = 0; i + 16 < n; i += 16) diff |= diff16(i);
    return (diff | diff16(n - 16)) == 0;
#endif
  }
  if (n >= 8) return ((load_u64(a) ^ load_u64(b)) | (load_u64(a + n - 8) ^ load_u64(b + n - 8))) == 0;
  if (n >= 4) return ((load_u32(a) ^ load_u32(b)) | (load_u32(a + n - 4) ^ load_u32(b + n - 4))) == 0;
  // 0 to 3 bytes: the first, middle and last cover them all.
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Whether the cached str holds exactly these UTF-8 bytes. Non-ASCII keys
// get their UTF-8 form cached when they enter the map, so both reads are in
// place.
[[gnu::always_inline]] inline bool holds_bytes(PyObject* str, const uint8_t* s, size_t n) noexcept {
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

}  // namespace key_cache_detail

// The keys of one document in order: each lookup gives what key_lookup gives,
// faster when the key is the one that followed the previous key at the same
// depth (that of the dict holding the key) before.
class KeySequence {
 public:
  explicit KeySequence(KeyCache& cache) noexcept : cache_(&cache) {}

  // A guessed slot that holds a str with the same bytes as the key is
  // exactly what key_lookup finds: the slot of those bytes' hash, holding
  // that str. Only the hashing is skipped.
  [[gnu::always_inline]] PyObject* lookup(const uint8_t* s, size_t n, size_t depth) noexcept {
    KeyFollowers& followers = cache_->followers;
    uint16_t& follower = followers[(previous_hash_ ^ (depth * 0x9E3779B1u)) & (followers.size() - 1)];
    KeyMapSlot& slot = cache_->slots[follower];
    PyObject* str = slot.str;
    if (str == nullptr || !key_cache_detail::holds_bytes(str, s, n)) [[unlikely]] return lookup_missed(s, n, follower);
    previous_hash_ = slot.key_hash;
    return Py_NewRef(str);
  }

 private:
  // The full lookup, which also teaches `follower` the key's slot.
  PyObject* lookup_missed(const uint8_t* s, size_t n, uint16_t& follower) noexcept;

  KeyCache* cache_;
  uint64_t previous_hash_ = 0;  // the key hash of the last key found
};

}  // namespace quibex
