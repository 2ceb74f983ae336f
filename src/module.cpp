// Module definition and the exec step that fills the module's attributes.
#include "fragment.h"
#include "serialize/dumps.h"
#include "deserialize/loads.h"
#include "serialize/frame.h"
#include "startup.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstring>

QUIBEX_EXPORT int quibex_init_exec(PyObject* module);

namespace quibex {
namespace {

// A method record for the life of the process (the function made from it
// refers to it); null with MemoryError set.
PyMethodDef* new_method(const char* name, void* function, int flags, const char* doc) noexcept {
  auto* def = static_cast<PyMethodDef*>(PyMem_Malloc(sizeof(PyMethodDef)));
  if (def == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  *def = {name, reinterpret_cast<PyCFunction>(function), flags, doc};
  return def;
}

// Module attribute name and value of each option constant, in the order added.
struct OptionConstant { const char* name; long value; };
constexpr OptionConstant kOptionConstants[] = {
    {"OPT_APPEND_NEWLINE", OPT_APPEND_NEWLINE},
    {"OPT_INDENT_2", OPT_INDENT_2},
    {"OPT_NAIVE_UTC", OPT_NAIVE_UTC},
    {"OPT_NON_STR_KEYS", OPT_NON_STR_KEYS},
    {"OPT_OMIT_MICROSECONDS", OPT_OMIT_MICROSECONDS},
    {"OPT_PASSTHROUGH_DATACLASS", OPT_PASSTHROUGH_DATACLASS},
    {"OPT_PASSTHROUGH_DATETIME", OPT_PASSTHROUGH_DATETIME},
    {"OPT_PASSTHROUGH_SUBCLASS", OPT_PASSTHROUGH_SUBCLASS},
    {"OPT_SERIALIZE_DATACLASS", OPT_SERIALIZE_DATACLASS},
    {"OPT_SERIALIZE_NUMPY", OPT_SERIALIZE_NUMPY},
    {"OPT_SERIALIZE_UUID", OPT_SERIALIZE_UUID},
    {"OPT_SORT_KEYS", OPT_SORT_KEYS},
    {"OPT_STRICT_INTEGER", OPT_STRICT_INTEGER},
    {"OPT_UTC_Z", OPT_UTC_Z},
};

// Steals `value` even when it is null or the addition fails.
bool add(PyObject* module, const char* name, PyObject* value) noexcept {
  return ffi::module_add(module, name, value) == 0;
}

PyObject* new_function(PyMethodDef* def) noexcept {
  if (def == nullptr) return nullptr;
  Owned module_name = Owned::steal(PyUnicode_InternFromString("quibex"));
  if (!module_name) return nullptr;
  return PyCMethod_New(def, nullptr, module_name.get(), nullptr);
}

}  // namespace
}  // namespace quibex

QUIBEX_EXPORT PyObject* PyInit_quibex() {
  auto* slots = static_cast<PyModuleDef_Slot*>(PyMem_Malloc(sizeof(PyModuleDef_Slot) * quibex::ffi::kModuleSlotCount));
  auto* def = static_cast<PyModuleDef*>(PyMem_Malloc(sizeof(PyModuleDef)));
  if (slots == nullptr || def == nullptr) {
    PyMem_Free(slots);
    PyMem_Free(def);
    return PyErr_NoMemory();
  }
  quibex::ffi::fill_module_slots(slots, quibex_init_exec);
  *def = {PyModuleDef_HEAD_INIT, "quibex", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(def);
}

int quibex_init_exec(PyObject* module) {
  using namespace quibex;
  // The registry is one per process and holds the main interpreter's types:
  // in any other interpreter its dataclasses, enums, UUIDs and exceptions
  // would not be recognised. Legacy subinterpreters skip the slot's check.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "quibex can be imported only in the main interpreter: its registry of types is shared by the "
                    "whole process and holds the main interpreter's types");
    return -1;
  }
  if (init_registry_once() < 0) return -1;
  const TypeRegistry& r = REGISTRY;

  static constexpr char kVersion[] = "1.0.0";
  if (!add(module, "__version__", PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1))) return -1;
  PyMethodDef* dumps_def = new_method("dumps", reinterpret_cast<void*>(dumps), METH_FASTCALL | METH_KEYWORDS,
                                      "dumps(obj, /, default=None, option=None)\n--\n\n"
                                      "Serialize Python objects to JSON.");
  if (!add(module, "dumps", new_function(dumps_def))) return -1;
  PyMethodDef* loads_def = new_method("loads", reinterpret_cast<void*>(loads), METH_O,
                                      "loads(obj, /)\n--\n\nDeserialize JSON to Python objects.");
  if (!add(module, "loads", new_function(loads_def))) return -1;
  if (!add(module, "Fragment", Py_NewRef(reinterpret_cast<PyObject*>(r.fragment_type)))) return -1;
  for (const OptionConstant& c : kOptionConstants) {
    if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return -1;
  }
  if (!add(module, "JSONDecodeError", Py_NewRef(r.decode_error))) return -1;
  if (!add(module, "JSONEncodeError", Py_NewRef(r.encode_error))) return -1;
  return 0;
}
