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

struct Filled {
  Py_ssize_t used;  // distinct keys
  bool track;       // whether some value makes the dict tracked by the collector
};

// Places the pairs in the index table of 2^log2_slots `Index` slots, all
// empty (-1), and the entries that follow it ({key, value}, in order of first
// appearance).
template <class Index>
Filled fill_table(void* index_table, unsigned log2_slots, PyObject** entries, PyObject** pairs,
                  Py_ssize_t n) noexcept {
  auto* indices = static_cast<Index*>(index_table);
  const size_t mask = (size_t{1} << log2_slots) - 1;
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

}  // namespace

PyObject* build_dict(PyObject** pairs, Py_ssize_t n) noexcept {
  PyObject* dict = PyDict_New();
  if (dict == nullptr || n == 0) {
    if (dict == nullptr) {
      for (PyObject** p = pairs; p != pairs + 2 * n; ++p) Py_DECREF(*p);
    }
    return dict;
  }
  const unsigned log2_slots = log2_slots_for(size_t(n));
  const unsigned log2_index_bytes = log2_slots + log2_index_width(log2_slots);
  const size_t usable = usable_entries(size_t{1} << log2_slots);
  QUIBEX_ASSERT(usable >= size_t(n));
  const size_t index_bytes = size_t{1} << log2_index_bytes;
  ffi::DictKeysHeader* keys =
      ffi::alloc_dict_keys(sizeof(ffi::DictKeysHeader) + index_bytes + usable * 2 * sizeof(PyObject*));
  if (keys == nullptr) {
    for (PyObject** p = pairs; p != pairs + 2 * n; ++p) Py_DECREF(*p);
    Py_DECREF(dict);
    return PyErr_NoMemory();
  }
  void* const index_table = keys + 1;
  std::memset(index_table, 0xFF, index_bytes);
  auto** const entries = reinterpret_cast<PyObject**>(static_cast<char*>(index_table) + index_bytes);
  Filled filled;
  switch (log2_index_width(log2_slots)) {
    case 0: filled = fill_table<int8_t>(index_table, log2_slots, entries, pairs, n); break;
    case 1: filled = fill_table<int16_t>(index_table, log2_slots, entries, pairs, n); break;
    case 2: filled = fill_table<int32_t>(index_table, log2_slots, entries, pairs, n); break;
    default: filled = fill_table<int64_t>(index_table, log2_slots, entries, pairs, n); break;
  }
  *keys = {.dk_refcnt = 1,
           .dk_log2_size = static_cast<uint8_t>(log2_slots),
           .dk_log2_index_bytes = static_cast<uint8_t>(log2_index_bytes),
           .dk_kind = ffi::kDictKeysUnicode,
           .dk_version = 0,  // no version handed out for this table yet
           .dk_usable = Py_ssize_t(usable) - filled.used,
           .dk_nentries = filled.used};
  ffi::dict_take_keys(dict, keys, filled.used, filled.track);
  return dict;
}

}  // namespace quibex
