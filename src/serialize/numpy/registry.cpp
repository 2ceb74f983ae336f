#include "serialize/numpy/registry.h"

#include "support.h"

#include <cstdint>
#include <iterator>

namespace quibex {
namespace {

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

// Fills the record from the numpy module's dictionary. A member must be a
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

[[gnu::cold]] void load_numpy_types(NumpyEntry& entry) noexcept {
  Owned module = Owned::steal(PyImport_ImportModule("numpy"));
  Owned dict = module ? Owned::steal(PyObject_GenericGetDict(module.get(), nullptr)) : Owned();
  if (!dict) PyErr_Clear();  // absent for good: a later import is never attempted
  // The import runs Python code, which may have called dumps with
  // OPT_SERIALIZE_NUMPY and loaded the entry already.
  if (entry.state != NumpyEntry::State::Unknown) return;
  if (dict) fill_numpy_types(dict.get(), &entry.types);
  entry.state = dict ? NumpyEntry::State::Loaded : NumpyEntry::State::Absent;
}

}  // namespace

const NumpyTypes* numpy_types(NumpyEntry& entry) noexcept {
  if (entry.state == NumpyEntry::State::Unknown) [[unlikely]]
    load_numpy_types(entry);
  return entry.state == NumpyEntry::State::Loaded ? &entry.types : nullptr;
}

int traverse_numpy_entry(NumpyEntry& entry, visitproc visit, void* arg) noexcept {
  for (const Member& m : kMembers) Py_VISIT(entry.types.*m.slot);
  return 0;
}

void clear_numpy_entry(NumpyEntry& entry) noexcept {
  for (const Member& m : kMembers) Py_CLEAR(entry.types.*m.slot);
  entry.state = NumpyEntry::State::Unknown;
}

}  // namespace quibex
