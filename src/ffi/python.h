// The one place that knows which CPython version it is built for.
//
// Everything the module reads or calls that differs between CPython 3.11,
// 3.12, 3.13, 3.14 and 3.15 is wrapped here, so that no other file tests
// PY_VERSION_HEX. The structures read directly are checked against each
// version's own internal headers in ffi/layout_check.cpp.
//
// What differs, by version (builds with the GIL; the table of the README's
// platform notes says the same):
//   int         3.11: sign and digit count in ob_size. 3.12+: lv_tag, the
//               sign in the low 2 bits, the digit count above the 3 flag bits.
//   str         3.11: PyASCIIObject still has wstr and the ready bit. 3.12+
//               the same header on every version; the cached UTF-8 form
//               (utf8_length, utf8) follows it on all five.
//   dict table  the keys object header and both entry layouts are the same
//               on 3.11 to 3.15; 3.13+ add only a mutex in free-threaded
//               builds, which are not read in place.
//   new dicts   loads writes a new dict's str-only key table itself. Its
//               memory: 3.11, 3.12 PyObject_Malloc, 3.13+ PyMem_Malloc, the
//               domain each frees it from. The shared empty table of a new
//               dict: 3.11 counts its references, 3.12+ immortal. A new
//               dict: 3.11-3.13 untracked by the collector until it holds a
//               value that may be tracked, 3.14+ tracked from the start.
//   buffer hash 3.11, 3.12: _Py_HashBytes (public). 3.13: the same, internal
//               header only. 3.14+: Py_HashBuffer (public).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "assertion.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030B0000
#error "quibex needs CPython 3.11 or newer"
#endif

// Exported by 3.13 but declared only in an internal header.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
extern "C" {
PyAPI_FUNC(Py_hash_t) _Py_HashBytes(const void* src, Py_ssize_t len);
}
#endif

namespace quibex::ffi {

// --- Immortal singletons -------------------------------------------------
// None, True, False and the empty str are immortal from 3.12 on, so handing
// them out needs no reference; 3.11 counts their references like any object.
inline PyObject* immortal_ref(PyObject* o) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  Py_INCREF(o);
#endif
  return o;
}

// --- int layout -----------------------------------------------------------
// A compact int has at most one 30-bit digit. Fields read directly: 3.11
// keeps sign and digit count in ob_size; 3.12+ packs them into lv_tag.
struct LongView {
  uint32_t sign;      // 0 positive, 1 zero, 2 negative
  bool compact;       // magnitude below 2^30
  uint32_t digit;     // the magnitude when compact
};

#if PY_VERSION_HEX >= 0x030C0000
// lv_tag: the sign in the low bits (values as LongView::sign), the digit
// count above _PyLong_NON_SIZE_BITS; compact means at most one digit.
static_assert(_PyLong_SIGN_MASK == 3 && _PyLong_NON_SIZE_BITS == 3);
inline constexpr uintptr_t kCompactTagBound = uintptr_t{2} << _PyLong_NON_SIZE_BITS;
#endif

inline LongView long_view(PyObject* o) noexcept {
  auto* v = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
  const uintptr_t tag = v->long_value.lv_tag;
  return {static_cast<uint32_t>(tag & _PyLong_SIGN_MASK), tag < kCompactTagBound,
          static_cast<uint32_t>(v->long_value.ob_digit[0])};
#else
  const Py_ssize_t size = Py_SIZE(v);
  const uint32_t sign = size > 0 ? 0 : (size == 0 ? 1 : 2);
  const bool compact = size >= -1 && size <= 1;
  return {sign, compact, size == 0 ? 0u : static_cast<uint32_t>(v->ob_digit[0])};
#endif
}

// The digits of an int's magnitude, least significant first, PyLong_SHIFT
// bits each in 32-bit words; none for zero.
struct LongDigits {
  const digit* digits;
  size_t count;
  bool negative;
};
static_assert(PyLong_SHIFT == 30 && sizeof(digit) == 4, "ints are read as 30-bit digits in 32-bit words");

inline LongDigits long_digits(PyObject* o) noexcept {
  auto* v = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
  const uintptr_t tag = v->long_value.lv_tag;
  return {v->long_value.ob_digit, static_cast<size_t>(tag >> _PyLong_NON_SIZE_BITS), (tag & _PyLong_SIGN_MASK) == 2};
#else
  const Py_ssize_t size = Py_SIZE(v);
  return {v->ob_digit, static_cast<size_t>(size < 0 ? -size : size), size < 0};
#endif
}

// The magnitude of an int as one 64-bit word (a normalised int has a
// non-zero top digit). `fits` is false when the magnitude is 2^64 or more.
// Gives what _PyLong_AsByteArray would, without the call and without any
// exception.
struct LongMagnitude {
  uint64_t value;
  bool fits;
};

inline LongMagnitude long_magnitude(PyObject* o) noexcept {
  const LongDigits l = long_digits(o);
  const digit* d = l.digits;
  if (l.count <= 1) return {l.count == 0 ? 0 : uint64_t{d[0]}, true};
  const uint64_t low = uint64_t{d[0]} | uint64_t{d[1]} << 30;
  if (l.count == 2) return {low, true};
  // Three digits fit when the top one is below 2^4; more never do.
  return {low | uint64_t{d[2]} << 60, l.count == 3 && d[2] < 16};
}

// --- str layout -------------------------------------------------------------
// The cached UTF-8 form of a non-ASCII compact str has no public accessor on
// any version; these fields are read directly.
inline const char* cached_utf8(PyObject* o, Py_ssize_t* size) noexcept {
  auto* c = reinterpret_cast<PyCompactUnicodeObject*>(o);
  *size = c->utf8_length;
  return c->utf8;
}
static_assert(offsetof(PyCompactUnicodeObject, utf8_length) == sizeof(PyASCIIObject));

// Stores a precomputed hash in a str object (safe: the object is freshly
// built and not yet visible to any other code, or the hash equals its own).
inline void set_str_hash(PyObject* s, Py_hash_t h) noexcept {
  reinterpret_cast<PyASCIIObject*>(s)->hash = h;
}

// The hash stored in a str (-1 while not yet computed).
inline Py_hash_t stored_str_hash(PyObject* s) noexcept { return reinterpret_cast<PyASCIIObject*>(s)->hash; }

// --- hashing -----------------------------------------------------------------
inline Py_hash_t hash_buffer(const void* p, Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return Py_HashBuffer(p, n);
#else
  return _Py_HashBytes(p, n);
#endif
}

inline Py_ssize_t dict_used(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_used; }

// The entry array of a dict whose keys and values live in one combined
// table, read in place: `keys` points at the key of entry 0, the value of
// entry i is at keys[i * stride + 1], and entries whose value is null are
// deleted ones. Null `keys` when the dict keeps its values apart (a split
// table, such as an instance __dict__) or in a free-threaded build, whose
// tables are not read in place; PyDict_Next then serves.
struct DictEntries {
  PyObject* const* keys;
  size_t stride;  // in pointers: 2 for str-only key tables, 3 with the stored hash
  Py_ssize_t count;  // entries in use or deleted, in insertion order
};

// CPython's PyDictKeysObject header (internal/pycore_dict.h), the same on
// 3.11 to 3.15 for builds with the GIL: the index table of
// 2^dk_log2_index_bytes bytes follows it, then the entries, {hash, key,
// value} (PyDictKeyEntry) or {key, value} (PyDictUnicodeEntry).
struct DictKeysHeader {
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size;
  uint8_t dk_log2_index_bytes;
  uint8_t dk_kind;  // a DictKeysKind
  uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
};
static_assert(sizeof(DictKeysHeader) == 32 && offsetof(DictKeysHeader, dk_kind) == 10 &&
              offsetof(DictKeysHeader, dk_nentries) == 24);

// dk_kind: any keys (entries with the hash), str keys only, split table.
enum DictKeysKind : uint8_t { kDictKeysGeneral = 0, kDictKeysUnicode = 1, kDictKeysSplit = 2 };

// The index table, right after the header, and the entries, right after it.
inline char* dict_keys_indices(DictKeysHeader* keys) noexcept { return reinterpret_cast<char*>(keys + 1); }
inline PyObject** dict_keys_entries(DictKeysHeader* keys) noexcept {
  return reinterpret_cast<PyObject**>(dict_keys_indices(keys) + (size_t{1} << keys->dk_log2_index_bytes));
}

inline DictEntries dict_entries(PyObject* dict) noexcept {
#if !defined(Py_GIL_DISABLED)
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  auto* keys = reinterpret_cast<DictKeysHeader*>(d->ma_keys);
  if (d->ma_values == nullptr && keys->dk_kind <= kDictKeysUnicode) [[likely]] {
    const size_t stride = keys->dk_kind == kDictKeysGeneral ? 3 : 2;
    return {dict_keys_entries(keys) + (stride - 2), stride, keys->dk_nentries};
  }
#else
  (void)dict;
#endif
  return {nullptr, 0, 0};
}

// What fixes where the entries of the dict's key table lie: the table's
// address, its index width and its kind. Equal shapes mean the same entry
// positions, even for a table freed and another made at the same address;
// only the entry count may differ (dict_entry_count).
// Two whole words, no padding: a shape built from narrower stores and read
// back as a word would stall the load on store forwarding.
struct DictTableShape {
  const void* keys;
  uint64_t layout;  // dk_log2_index_bytes, then dk_kind, zero-extended
  bool operator==(const DictTableShape&) const noexcept = default;
};
static_assert(offsetof(DictKeysHeader, dk_kind) == offsetof(DictKeysHeader, dk_log2_index_bytes) + 1);

inline DictTableShape dict_table_shape(PyObject* dict) noexcept {
  const void* keys = reinterpret_cast<PyDictObject*>(dict)->ma_keys;
  uint16_t layout;
  std::memcpy(&layout, static_cast<const char*>(keys) + offsetof(DictKeysHeader, dk_log2_index_bytes), 2);
  return {keys, layout};
}

// The entry count of the dict's combined table, for a dict whose entries
// dict_entries gave with the same shape.
inline Py_ssize_t dict_entry_count(PyObject* dict) noexcept {
  return reinterpret_cast<const DictKeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)->dk_nentries;
}

// --- dict key tables written in place -------------------------------------------
// Memory for a key table, from the domain the interpreter frees its tables
// to (PyObject_Free through 3.12, PyMem_Free from 3.13). Null when short.
// A debug build counts each table in its reference total, as the
// interpreter counts its own: here from 3.12. On 3.11 the count PyDict_New
// added for the shared empty table stands for it, since dict_take_keys
// gives that reference back without uncounting it.
inline DictKeysHeader* alloc_dict_keys(size_t bytes) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  auto* keys = static_cast<DictKeysHeader*>(PyMem_Malloc(bytes));
#else
  auto* keys = static_cast<DictKeysHeader*>(PyObject_Malloc(bytes));
#endif
#if defined(Py_REF_DEBUG) && PY_VERSION_HEX >= 0x030C0000
  if (keys != nullptr) _Py_INCREF_IncRefTotal();
#endif
  return keys;
}

// Frees a table from alloc_dict_keys that no dict took.
inline void free_dict_keys(DictKeysHeader* keys) noexcept {
#if defined(Py_REF_DEBUG) && PY_VERSION_HEX >= 0x030C0000
  _Py_DECREF_DecRefTotal();
#endif
#if PY_VERSION_HEX >= 0x030D0000
  PyMem_Free(keys);
#else
  PyObject_Free(keys);
#endif
}

// Whether a dict holding `value` must be tracked by the collector: through
// 3.13 the interpreter tracks a dict once it holds a value of a collected
// type; from 3.14 every dict is tracked when it is made.
inline bool value_tracks_dict(PyObject* value) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  (void)value;
  return false;
#else
  return PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_HAVE_GC);
#endif
}

// Gives `dict`, new from PyDict_New and empty, the filled table `keys` of
// `used` items, and tracks it by the collector when `track`. Safe because
// the dict has been seen by no one: until now it points at the shared empty
// table, which holds no entries, and has no values array or watcher.
inline void dict_take_keys(PyObject* dict, DictKeysHeader* keys, Py_ssize_t used, bool track) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  [[maybe_unused]] auto* empty = reinterpret_cast<DictKeysHeader*>(d->ma_keys);
  QUIBEX_ASSERT(d->ma_used == 0 && d->ma_values == nullptr && empty->dk_nentries == 0 && empty->dk_usable == 0);
#if PY_VERSION_HEX < 0x030C0000
  --empty->dk_refcnt;  // the reference PyDict_New counted
#endif
  d->ma_keys = reinterpret_cast<PyDictKeysObject*>(keys);
  d->ma_used = used;
#if PY_VERSION_HEX < 0x030E0000
  if (track && !PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);  // which aborts on a tracked object
#else
  (void)track;
#endif
}

// --- lists ---------------------------------------------------------------------
// The item array of a list. A list made by PyList_New(n) has n null slots
// to fill, and keeps its array while no Python code runs.
inline PyObject** list_items(PyObject* list) noexcept { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Appends n items to a list, stealing their references, with its item array
// grown by at least half when it must grow. False (no exception set, the
// list as it was) when memory is short. The array is PyMem memory, as the
// list's own growth makes it.
inline bool list_append_stolen(PyObject* list, PyObject* const* items, Py_ssize_t n) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t size = Py_SIZE(l);
  if (l->allocated - size < n) {
    const Py_ssize_t grown = l->allocated + l->allocated / 2;
    const Py_ssize_t capacity = grown > size + n ? grown : size + n;
    if (size_t(capacity) > size_t(PY_SSIZE_T_MAX) / sizeof(PyObject*)) return false;
    auto** array = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, size_t(capacity) * sizeof(PyObject*)));
    if (array == nullptr) return false;
    l->ob_item = array;
    l->allocated = capacity;
  }
  if (n != 0) std::memcpy(static_cast<void*>(l->ob_item + size), items, size_t(n) * sizeof(PyObject*));
  Py_SET_SIZE(l, size + n);
  return true;
}

// A new list of the n > 0 items (references stolen on success), its item
// array from PyMem_Malloc: PyList_New(n) would zero an array that is
// overwritten at once. Null with MemoryError set, the items untouched.
inline PyObject* new_list_stolen(PyObject* const* items, Py_ssize_t n) noexcept {
  if (size_t(n) > size_t(PY_SSIZE_T_MAX) / sizeof(PyObject*)) return PyErr_NoMemory();
  auto** array = static_cast<PyObject**>(PyMem_Malloc(size_t(n) * sizeof(PyObject*)));
  if (array == nullptr) return PyErr_NoMemory();
  PyObject* list = PyList_New(0);
  if (list == nullptr) {
    PyMem_Free(array);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < n; ++i) array[i] = items[i];
  auto* l = reinterpret_cast<PyListObject*>(list);
  l->ob_item = array;
  l->allocated = n;
  Py_SET_SIZE(l, n);
  return list;
}

// Trims a non-empty list's item array to its size, as PyList_New(size)
// makes it; a refused trim leaves the larger array, which is as valid.
inline void list_fit(PyObject* list) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t size = Py_SIZE(l);
  if (l->allocated == size || size == 0) return;
  auto** array = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, size_t(size) * sizeof(PyObject*)));
  if (array == nullptr) return;
  l->ob_item = array;
  l->allocated = size;
}

// --- raised exceptions --------------------------------------------------------
// Returns the pending exception (new reference, normalised) and clears it.
inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Makes `exc` (reference stolen) the pending exception.
inline void restore_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

// --- memoryview -----------------------------------------------------------------
// Whether the memoryview (or the buffer it shares) was released: its view
// must not be read any more. The fields are read as CPython's own
// memoryview methods read them.
inline bool memoryview_released(PyObject* o) noexcept {
  auto* mv = reinterpret_cast<PyMemoryViewObject*>(o);
  return (mv->flags & _Py_MEMORYVIEW_RELEASED) != 0 || (mv->mbuf->flags & _Py_MANAGED_BUFFER_RELEASED) != 0;
}

// --- types ------------------------------------------------------------------
// The type's own dictionary (new reference).
inline PyObject* type_dict(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyType_GetDict(t);
#else
  return Py_XNewRef(t->tp_dict);
#endif
}

// --- datetime.timezone ----------------------------------------------------------
// A datetime.timezone keeps its fixed offset, the timedelta its utcoffset
// returns, in the first field after the object header, then its name. The
// struct is private to the datetime module but the same on every version
// here; has_timezone_layout checks it on timezone.utc before it is relied on.
struct TimeZoneLayout {
  PyObject_HEAD
  PyObject* offset;
  PyObject* name;
};

inline PyObject* timezone_offset(PyObject* tz) noexcept { return reinterpret_cast<TimeZoneLayout*>(tz)->offset; }

// Whether the imported datetime module offers the C interface. 3.12's
// isolated subinterpreters cannot load the C module (single-phase init) and
// fall back to the pure-Python one, which has none; 3.11 has no isolated
// subinterpreters, and 3.13+ load the C module in every interpreter.
inline bool has_datetime_capi(PyObject* datetime_module) noexcept {
  return PyObject_HasAttrString(datetime_module, "datetime_CAPI") == 1;
}

inline bool has_timezone_layout(PyObject* utc, PyTypeObject* delta_type) noexcept {
  return Py_TYPE(utc)->tp_basicsize == static_cast<Py_ssize_t>(sizeof(TimeZoneLayout)) &&
         timezone_offset(utc) != nullptr && Py_IS_TYPE(timezone_offset(utc), delta_type);
}

// --- modules ------------------------------------------------------------------
// Adds `value` to the module, stealing the reference (also on failure and for
// a null value, which reports the pending exception).
inline int module_add(PyObject* module, const char* name, PyObject* value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyModule_Add(module, name, value);
#else
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_XDECREF(value);
  return rc;
#endif
}

// --- module slots -------------------------------------------------------------
// The module's slots, terminator included: Py_mod_exec, then on 3.12+ the
// promise that each interpreter, also one with its own GIL, can load the
// module (everything holding an interpreter's objects is module state), and
// on 3.13+ that the GIL is required. 3.11 has neither slot: its
// subinterpreters share one GIL, and each gets its own module object and
// state from the same definition.
//
// Py_MOD_GIL_NOT_USED is not declared. A free-threaded build would still
// need: the dict key tables of loads laid out with the header's mutex; the
// key cache's slots published and replaced atomically (or one cache per
// thread), since a lookup reads a slot's str while another thread may evict
// it; the reader's kept buffers taken by one call at a time (an
// exchange instead of the plain take); the numpy entry loaded under a
// once-guard; and the collector pause of loads counted across threads:
// PyGC_Disable and PyGC_Enable set one flag of the interpreter, so one
// call's enable would end the pause of another still running. dict_entries
// already declines to walk tables in place there; and the count of steps
// that may run Python code (serialize/python_code.h) is per thread, which
// tells a walk that its container is unchanged only while a GIL keeps every
// other thread out.
inline const PyModuleDef_Slot* module_slots(int (*exec)(PyObject*)) noexcept {
  static const PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
      {Py_mod_gil, Py_MOD_GIL_USED},
#endif
      {0, nullptr},
  };
  return slots;
}

}  // namespace quibex::ffi
