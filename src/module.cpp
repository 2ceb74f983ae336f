// Module definition and the exec step that fills the module's attributes.
#include "fragment.h"
#include "serialize/dumps.h"
#include "deserialize/loads.h"
#include "serialize/frame.h"
#include "startup.h"
#include "support.h"

QUIBEX_EXPORT int quibex_init_exec(PyObject* module);

namespace quibex {
namespace {

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

int traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  return state == nullptr ? 0 : traverse_module_state(*state, visit, arg);
}

int clear(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) clear_module_state(*state);
  return 0;
}

void free_state(void* module) { clear(static_cast<PyObject*>(module)); }

// dumps and loads, bound to the module object (PyModule_AddFunctions makes
// it their self): each call receives it and reaches the interpreter's
// module state through it.
PyMethodDef kMethods[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps)), METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, /, default=None, option=None)\n--\n\nSerialize Python objects to JSON."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads)), METH_O,
     "loads(obj, /)\n--\n\nDeserialize JSON to Python objects."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quibex

QUIBEX_EXPORT PyObject* PyInit_quibex() {
  // One definition for every interpreter; each gets its own module object
  // and state from it. Made on the first call, which the runtime guards.
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, "quibex", nullptr, sizeof(quibex::ModuleState), nullptr,
      const_cast<PyModuleDef_Slot*>(quibex::ffi::module_slots(quibex_init_exec)), quibex::traverse, quibex::clear,
      quibex::free_state,
  };
  return PyModuleDef_Init(&def);
}

int quibex_init_exec(PyObject* module) {
  using namespace quibex;
  ModuleState& state = module_state(module);
  if (fill_module_state(state, module) < 0) return -1;
  const TypeRegistry& r = state.types;

  static constexpr char kVersion[] = "1.0.0";
  if (!add(module, "__version__", PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1))) return -1;
  if (PyModule_AddFunctions(module, kMethods) < 0) return -1;
  if (!add(module, "Fragment", Py_NewRef(reinterpret_cast<PyObject*>(r.fragment_type)))) return -1;
  for (const OptionConstant& c : kOptionConstants) {
    if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return -1;
  }
  if (!add(module, "JSONDecodeError", Py_NewRef(r.decode_error))) return -1;
  if (!add(module, "JSONEncodeError", Py_NewRef(PyExc_TypeError))) return -1;
  return 0;
}
