// Compile-time checks of the interpreter structures that ffi/python.h reads
// directly, against the interpreter's own internal headers, on every
// version it is built for. Nothing here becomes code.
#define Py_BUILD_CORE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// 3.12's atomics header includes <stdatomic.h>, which C++20 lacks; without
// it the header uses the compiler's builtins.
#undef HAVE_STD_ATOMIC
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"  // in the interpreter's own inline functions
#include "internal/pycore_dict.h"
#if PY_VERSION_HEX >= 0x030C0000
#include "internal/pycore_long.h"
#endif
#pragma GCC diagnostic pop

#include "ffi/python.h"

#include <cstddef>

namespace quibex::ffi {

#if !defined(Py_GIL_DISABLED)
static_assert(sizeof(DictKeysHeader) == offsetof(PyDictKeysObject, dk_indices));
static_assert(offsetof(DictKeysHeader, dk_log2_index_bytes) == offsetof(PyDictKeysObject, dk_log2_index_bytes));
static_assert(offsetof(DictKeysHeader, dk_kind) == offsetof(PyDictKeysObject, dk_kind));
static_assert(offsetof(DictKeysHeader, dk_nentries) == offsetof(PyDictKeysObject, dk_nentries));
// The fields build_dict also writes.
static_assert(offsetof(DictKeysHeader, dk_refcnt) == offsetof(PyDictKeysObject, dk_refcnt));
static_assert(offsetof(DictKeysHeader, dk_log2_size) == offsetof(PyDictKeysObject, dk_log2_size));
static_assert(offsetof(DictKeysHeader, dk_version) == offsetof(PyDictKeysObject, dk_version));
static_assert(offsetof(DictKeysHeader, dk_usable) == offsetof(PyDictKeysObject, dk_usable));
static_assert(DKIX_EMPTY == -1);  // the index table starts as all one bits
static_assert(int{kDictKeysGeneral} == DICT_KEYS_GENERAL && int{kDictKeysUnicode} == DICT_KEYS_UNICODE &&
              int{kDictKeysSplit} == DICT_KEYS_SPLIT);
#endif

// dict_entries: the key, then the value, one pointer apart, at the end of
// each entry of 3 (hash, key, value) or 2 (key, value) pointers.
static_assert(sizeof(PyDictKeyEntry) == 3 * sizeof(PyObject*) &&
              offsetof(PyDictKeyEntry, me_key) == sizeof(PyObject*) &&
              offsetof(PyDictKeyEntry, me_value) == 2 * sizeof(PyObject*));
static_assert(sizeof(PyDictUnicodeEntry) == 2 * sizeof(PyObject*) && offsetof(PyDictUnicodeEntry, me_key) == 0 &&
              offsetof(PyDictUnicodeEntry, me_value) == sizeof(PyObject*));

#if PY_VERSION_HEX >= 0x030C0000
// long_view and long_digits: the sign values of LongView, the compact bound.
static_assert(SIGN_MASK == _PyLong_SIGN_MASK && SIGN_ZERO == 1 && SIGN_NEGATIVE == 2);
static_assert(kCompactTagBound == (uintptr_t{2} << _PyLong_NON_SIZE_BITS));
#endif

}  // namespace quibex::ffi
