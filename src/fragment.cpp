#include "fragment.h"

using quibex::Fragment;

PyObject* quibex_fragmenttype_new(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(quibex_fragment_tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(quibex_fragment_dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "quibex.Fragment", sizeof(Fragment), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
  };
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

PyObject* quibex_fragment_tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
  if (kwds != nullptr || PyTuple_GET_SIZE(args) != 1) {
    static constexpr char kMessage[] = "quibex.Fragment() takes exactly 1 positional argument";
    PyObject* message = PyUnicode_FromStringAndSize(kMessage, sizeof(kMessage) - 1);
    if (message != nullptr) {
      PyErr_SetObject(PyExc_TypeError, message);
      Py_DECREF(message);
    }
    return nullptr;
  }
  // The interpreter's own initialiser sets the header and takes the type
  // reference a heap type's instances hold; the deallocator returns both.
  auto* self = static_cast<Fragment*>(PyMem_Malloc(static_cast<size_t>(subtype->tp_basicsize)));
  if (self == nullptr) return PyErr_NoMemory();
  PyObject_Init(reinterpret_cast<PyObject*>(self), subtype);
  self->contents = Py_NewRef(PyTuple_GET_ITEM(args, 0));
  return reinterpret_cast<PyObject*>(self);
}

void quibex_fragment_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(reinterpret_cast<Fragment*>(self)->contents);
  PyMem_Free(self);
  Py_DECREF(type);
}
