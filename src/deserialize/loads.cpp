// Placeholder: parses through the standard library until the reader lands.
#include "deserialize/loads.h"

#include "typeref/registry.h"

PyObject* loads(PyObject*, PyObject* obj) {
  PyObject* json = PyImport_ImportModule("json");
  if (json == nullptr) return nullptr;
  PyObject* result = PyObject_CallMethod(json, "loads", "O", obj);
  Py_DECREF(json);
  return result;
}
