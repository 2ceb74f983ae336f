#include "serialize/numpy/registry.h"

#include "support.h"

#include <atomic>
#include <cstdint>
#include <iterator>

namespace quibex {
namespace {

// Not loaded (null), numpy absent (&kAbsent) or the loaded record
// (&loaded_types), read without a lock. The record is static, so loading
// allocates nothing and cannot fail for want of memory.
const NumpyTypes kAbsent{};
NumpyTypes loaded_types{};
std::atomic<const NumpyTypes*> numpy_entry{nullptr};

struct Member {
  PyTypeObject* NumpyTypes::*slot;
  const char* name;
  size_t value_size;  // bytes of a scalar's value; 0 for ndarray
};

// numpy attribute of each member, in lookup order.
constexpr Member kMembers[] = {
    {&NumpyTypes::ndarray, "ndarray", 0},  {&NumpyTypes::float16, "half", 2},
    {&NumpyTypes::float32, "float32", 4},  {&NumpyTypes::float64, "float64", 8},
    {&NumpyTypes::int8, "int8", 1},        {&NumpyTypes::int16, "int16", 2},
    {&NumpyTypes::int32, "int32", 4},      {&NumpyTypes::int64, "int64", 8},
    {&NumpyTypes::uint16, "uint16", 2},    {&NumpyTypes::uint32, "uint32", 4},
    {&NumpyTypes::uint64, "uint64", 8},    {&NumpyTypes::uint8, "uint8", 1},
    {&NumpyTypes::bool_, "bool_", 1},      {&NumpyTypes::datetime64, "datetime64", 8},
};
static_assert(std::size(kMembers) * sizeof(PyTypeObject*) == sizeof(NumpyTypes));

// Fills the record from the numpy module's dictionary. Members keep their
// reference for the life of the process, so the identity tests can never
// match an unrelated type that reuses a freed address. A member must be a
// type whose instances are large enough to hold the value the scalar writer
// reads; anything else leaves it empty.
void fill_numpy_types(PyObject* dict, NumpyTypes* types) noexcept {
  for (const Member& m : kMembers) {
    PyObject* value = PyMapping_GetItemString(dict, m.name);
    if (value == nullptr) {
      PyErr_Clear();
      continue;
    }
    if (!PyType_Check(value) ||
        static_cast<size_t>(reinterpret_cast<PyTypeObject*>(value)->tp_basicsize) <
            sizeof(PyObject) + m.value_size) {
      Py_DECREF(value);
      continue;
    }
    types->*m.slot = reinterpret_cast<PyTypeObject*>(value);
  }
}

[[gnu::cold]] const NumpyTypes* load_numpy_types() noexcept {
  Owned module = Owned::steal(PyImport_ImportModule("numpy"));
  Owned dict = module ? Owned::steal(PyObject_GenericGetDict(module.get(), nullptr)) : Owned();
  if (!dict) PyErr_Clear();  // absent for good: a later import is never attempted
  // The import can let other threads run, and one may have published first.
  // Two threads that both get here fill the record with the same types; it
  // is read only once published.
  const NumpyTypes* published = numpy_entry.load(std::memory_order_acquire);
  if (published != nullptr) return published;
  const NumpyTypes* loaded = &kAbsent;
  if (dict) {
    fill_numpy_types(dict.get(), &loaded_types);
    loaded = &loaded_types;
  }
  numpy_entry.store(loaded, std::memory_order_release);
  return loaded;
}

}  // namespace

const NumpyTypes* numpy_types() noexcept {
  const NumpyTypes* entry = numpy_entry.load(std::memory_order_acquire);
  if (entry == nullptr) [[unlikely]]
    entry = load_numpy_types();
  return entry == &kAbsent ? nullptr : entry;
}

}  // namespace quibex
