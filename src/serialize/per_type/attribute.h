// Attribute reads on the hot paths of dataclasses and UUIDs.
#pragma once

#include "support.h"

namespace quibex {

// New reference to getattr(obj, name), or null with the exception pending.
// Where the type uses the generic attribute lookup and `name` resolves on
// the type to a data descriptor (the instance's __dict__, a __slots__
// entry), that lookup calls the descriptor's __get__ first and nothing
// else: it is called here directly, as the generic lookup would, which
// spares the general entry and its search steps. Any other case takes
// PyObject_GetAttr.
inline PyObject* get_attribute(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* found = _PyType_Lookup(type, name);  // borrowed
    if (found != nullptr) {
      descrgetfunc get = Py_TYPE(found)->tp_descr_get;
      if (get != nullptr && Py_TYPE(found)->tp_descr_set != nullptr) {
        // Held for the call, as the generic lookup holds it: __get__ may
        // change the type and drop the descriptor.
        Owned descriptor = Owned::borrow(found);
        return get(found, obj, reinterpret_cast<PyObject*>(type));
      }
    }
  }
  return PyObject_GetAttr(obj, name);
}

}  // namespace quibex
