#include "deserialize/build_dict.h"

#include <bit>
#include <cstring>

namespace quibex {
namespace {

// The interpreter's table sizes: at least 8 slots, and at most two thirds of
// them in use, so that its probes end soon.
constexpr unsigned kLog2MinSlots = 3;
constexpr size_t usable_entries(size_t slots) noexcept { return (slots << 1) / 3; }

// Slots for n entries as the interpreter presizes a dict: the smallest
// power of two of at least (3n + 1) / 2, and at least 8.
constexpr unsigned log2_slots_for(size_t n) noexcept {
  const auto log2 = static_cast<unsigned>(std::bit_width((n * 3 + 1) / 2 - 1));
  return log2 < kLog2MinSlots ? kLog2MinSlots : log2;
}
static_assert(log2_slots_for(1) == 3 && log2_slots_for(5) == 3 && log2_slots_for(6) == 4 &&
              log2_slots_for(10) == 4 && log2_slots_for(11) == 5);
static_assert(usable_entries(8) == 5 && usable_entries(16) == 10 && usable_entries(32) == 21);

// log2 of the bytes of an index: 1-byte indices below 2^8 slots, 2 below
// 2^16, 4 below 2^32, then 8 (an index also stands for "empty" as -1).
constexpr unsigned log2_index_width(unsigned log2_slots) noexcept {
  return log2_slots < 8 ? 0 : log2_slots < 16 ? 1 : log2_slots < 32 ? 2 : 3;
}

// The interpreter's probe sequence: slot hash & mask first, then
// (5 i + perturb + 1) & mask, perturb starting as the hash and shifted right
// five bits each step. Lookups follow it, so insertions must.
constexpr unsigned kPerturbShift = 5;

bool same_text(PyObject* a, PyObject* b) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  const int kind = PyUnicode_KIND(a);
  return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(length) * size_t(kind)) == 0;
}

constexpr size_t kEntryBytes = 2 * sizeof(PyObject*);  // {key, value}

// A str-only key table of 2^log2_slots slots, all empty, and no entries;
// null when memory is short.
[[gnu::always_inline]] inline ffi::DictKeysHeader* new_table(unsigned log2_slots) noexcept {
  const unsigned log2_index_bytes = log2_slots + log2_index_width(log2_slots);
  const size_t index_bytes = size_t{1} << log2_index_bytes;
  const size_t usable = usable_entries(size_t{1} << log2_slots);
  ffi::DictKeysHeader* keys = ffi::alloc_dict_keys(sizeof(ffi::DictKeysHeader) + index_bytes + usable * kEntryBytes);
  if (keys == nullptr) return nullptr;
  // Zeroed whole first: the byte after dk_kind is padding here and the
  // unlocked mutex of a free-threaded build.
  std::memset(static_cast<void*>(keys), 0, sizeof *keys);
  keys->dk_refcnt = 1;
  keys->dk_log2_size = static_cast<uint8_t>(log2_slots);
  keys->dk_log2_index_bytes = static_cast<uint8_t>(log2_index_bytes);
  keys->dk_kind = ffi::kDictKeysUnicode;
  keys->dk_version = 0;  // no version handed out for this table yet
  keys->dk_usable = Py_ssize_t(usable);
  // All slots empty (-1). The tables of most dicts have 8 or 16 index
  // bytes, which two word stores fill without a call.
  QUIBEX_ASSERT(index_bytes >= 8);  // at least 8 one-byte slots
  if (index_bytes <= 16) {
    constexpr uint64_t kEmpty = ~uint64_t{0};
    std::memcpy(ffi::dict_keys_indices(keys), &kEmpty, 8);
    if (index_bytes == 16) std::memcpy(ffi::dict_keys_indices(keys) + 8, &kEmpty, 8);
  } else {
    std::memset(ffi::dict_keys_indices(keys), 0xFF, index_bytes);
  }
  return keys;
}

struct Filled {
  Py_ssize_t used;  // entries: the distinct keys
  bool track;       // whether some value makes the dict tracked by the collector
};

// Places the n pairs (references moved in) into the empty table `keys`,
// whose index table holds `Index` slots, as entries in order of first
// appearance.
template <class Index>
Filled place_pairs(ffi::DictKeysHeader* keys, PyObject** pairs, Py_ssize_t n) noexcept {
  auto* const indices = reinterpret_cast<Index*>(ffi::dict_keys_indices(keys));
  PyObject** const entries = ffi::dict_keys_entries(keys);
  const size_t mask = (size_t{1} << keys->dk_log2_size) - 1;
  Py_ssize_t used = 0;
  bool track = false;
  for (PyObject** p = pairs; p != pairs + 2 * n; p += 2) {
    PyObject* const key = p[0];
    PyObject* const value = p[1];
    const Py_hash_t hash = ffi::stored_str_hash(key);
    QUIBEX_ASSERT(PyUnicode_CheckExact(key) && hash != -1);
    track |= ffi::value_tracks_dict(value);
    size_t perturb = size_t(hash);
    size_t i = size_t(hash) & mask;
    for (;;) {
      const Py_ssize_t ix = indices[i];
      if (ix < 0) {
        indices[i] = static_cast<Index>(used);
        entries[2 * used] = key;
        entries[2 * used + 1] = value;
        ++used;
        break;
      }
      PyObject* const other = entries[2 * ix];
      if (other == key || (ffi::stored_str_hash(other) == hash && same_text(other, key))) {
        PyObject* const replaced = entries[2 * ix + 1];
        entries[2 * ix + 1] = value;
        Py_DECREF(key);
        Py_DECREF(replaced);
        break;
      }
      perturb >>= kPerturbShift;
      i = (i * 5 + perturb + 1) & mask;
    }
  }
  return {used, track};
}

// place_pairs for the table's index width, then the entry counts. The
// entries past the used ones are left unwritten: the interpreter writes an
// entry whole when it adds one, and a copy of the table takes the used ones.
[[gnu::always_inline]] inline Filled fill_table(ffi::DictKeysHeader* keys, PyObject** pairs, Py_ssize_t n) noexcept {
  QUIBEX_ASSERT(keys->dk_nentries == 0 && keys->dk_usable >= n);
  Filled filled;
  switch (log2_index_width(keys->dk_log2_size)) {
    case 0: filled = place_pairs<int8_t>(keys, pairs, n); break;
    case 1: filled = place_pairs<int16_t>(keys, pairs, n); break;
    case 2: filled = place_pairs<int32_t>(keys, pairs, n); break;
    default: filled = place_pairs<int64_t>(keys, pairs, n); break;
  }
  keys->dk_usable -= filled.used;
  keys->dk_nentries = filled.used;
  return filled;
}

void release_pairs(PyObject** pairs, Py_ssize_t n) noexcept {
  for (PyObject** p = pairs; p != pairs + 2 * n; ++p) Py_DECREF(*p);
}

}  // namespace

PyObject* build_dict(PyObject** pairs, Py_ssize_t n) noexcept {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) {
    release_pairs(pairs, n);
    return nullptr;
  }
  if (n == 0) return dict;
  ffi::DictKeysHeader* keys = new_table(log2_slots_for(size_t(n)));
  if (keys == nullptr) {
    release_pairs(pairs, n);
    Py_DECREF(dict);
    return PyErr_NoMemory();
  }
  const Filled filled = fill_table(keys, pairs, n);
  // Repeated keys can leave far fewer entries than the table was sized
  // for; a table of the size the entries need takes them when memory
  // allows, so that a document of one key repeated keeps no large table.
  if (filled.used != n) [[unlikely]] {
    if (const unsigned fitting = log2_slots_for(size_t(filled.used)); fitting < keys->dk_log2_size) {
      if (ffi::DictKeysHeader* smaller = new_table(fitting)) {
        fill_table(smaller, ffi::dict_keys_entries(keys), filled.used);  // distinct keys: the same entries
        ffi::free_dict_keys(keys);
        keys = smaller;
      }
    }
  }
  ffi::dict_take_keys(dict, keys, filled.used, filled.track);
  return dict;
}

}  // namespace quibex
