// The module's start-up in one interpreter: the registry of that
// interpreter's types and names, and the module's own types.
#include "startup.h"

#include "fragment.h"
#include "support.h"

#include <datetime.h>

namespace quibex {

namespace {

// A new reference to a type.
PyTypeObject* new_type_ref(PyTypeObject* t) noexcept {
  Py_INCREF(t);
  return t;
}

// New reference to module.attribute, read through the module's dictionary.
PyObject* lookup_attribute(const char* module_name, const char* attribute) noexcept {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* dict = PyObject_GenericGetDict(module, nullptr);
  Py_DECREF(module);
  if (dict == nullptr) return nullptr;
  PyObject* value = PyMapping_GetItemString(dict, attribute);
  Py_DECREF(dict);
  return value;
}

// New reference to the descriptor that enum.Enum's own dictionary holds
// under "value".
PyObject* enum_value_property() noexcept {
  PyObject* base = lookup_attribute("enum", "Enum");
  if (base == nullptr) return nullptr;
  if (!PyType_Check(base)) {
    Py_DECREF(base);
    PyErr_SetString(PyExc_TypeError, "enum.Enum is not a type");
    return nullptr;
  }
  PyObject* dict = ffi::type_dict(reinterpret_cast<PyTypeObject*>(base));
  Py_DECREF(base);
  if (dict == nullptr) return nullptr;
  PyObject* descriptor = PyMapping_GetItemString(dict, "value");
  Py_DECREF(dict);
  return descriptor;
}

bool intern_names(TypeRegistry& r) noexcept {
  struct Name { PyObject* TypeRegistry::*slot; const char* text; };
  // Order of interning.
  static constexpr Name kNames[] = {
      {&TypeRegistry::int_name, "int"},
      {&TypeRegistry::utcoffset_name, "utcoffset"},
      {&TypeRegistry::normalize_name, "normalize"},
      {&TypeRegistry::convert_name, "convert"},
      {&TypeRegistry::dst_name, "dst"},
      {&TypeRegistry::dict_name, "__dict__"},
      {&TypeRegistry::dataclass_fields_name, "__dataclass_fields__"},
      {&TypeRegistry::slots_name, "__slots__"},
      {&TypeRegistry::field_type_name, "_field_type"},
      {&TypeRegistry::array_struct_name, "__array_struct__"},
      {&TypeRegistry::dtype_name, "dtype"},
      {&TypeRegistry::descr_name, "descr"},
      {&TypeRegistry::value_name, "value"},
      {&TypeRegistry::member_value_name, "_value_"},
      {&TypeRegistry::default_name, "default"},
      {&TypeRegistry::option_name, "option"},
  };
  for (const Name& n : kNames) {
    r.*n.slot = PyUnicode_InternFromString(n.text);
    if (r.*n.slot == nullptr) return false;
  }
  return true;
}

// The datetime module's C types. Where the interpreter has only the
// pure-Python datetime, without the C interface (isolated subinterpreters
// of 3.12 cannot load the C module), its objects do not have the layout the
// writers read: the members stay null, and dates and times are then not
// recognised (dumps hands them to `default`, or refuses them).
bool fill_datetime_types(TypeRegistry& r) noexcept {
  Owned module = Owned::steal(PyImport_ImportModule("datetime"));
  if (!module) return false;
  if (!ffi::has_datetime_capi(module.get())) return true;
  auto* capi = static_cast<PyDateTime_CAPI*>(PyCapsule_Import("datetime.datetime_CAPI", 0));
  if (capi == nullptr) return false;
  r.date_type = new_type_ref(capi->DateType);
  r.datetime_type = new_type_ref(capi->DateTimeType);
  r.time_type = new_type_ref(capi->TimeType);
  r.tzinfo_type = new_type_ref(capi->TZInfoType);
  r.delta_type = new_type_ref(capi->DeltaType);
  r.utc = Py_NewRef(capi->TimeZone_UTC);
  if (ffi::has_timezone_layout(r.utc, r.delta_type)) r.timezone_type = new_type_ref(Py_TYPE(r.utc));
  return true;
}

// Fills `r`; false with the exception set when a step fails.
bool fill_registry(TypeRegistry& r, PyObject* module) noexcept {
  if (!fill_datetime_types(r)) return false;

  r.uuid_type = reinterpret_cast<PyTypeObject*>(lookup_attribute("uuid", "UUID"));
  if (r.uuid_type == nullptr) return false;
  r.enum_meta = reinterpret_cast<PyTypeObject*>(lookup_attribute("enum", "EnumMeta"));
  if (r.enum_meta == nullptr) return false;
  r.enum_value_property = enum_value_property();
  if (r.enum_value_property == nullptr) return false;
  r.dataclass_field_marker = lookup_attribute("dataclasses", "_FIELD");
  if (r.dataclass_field_marker == nullptr) return false;

  r.fragment_type = reinterpret_cast<PyTypeObject*>(quibex_fragmenttype_new(module));
  if (r.fragment_type == nullptr) return false;

  if (!intern_names(r)) return false;

  PyObject* base = lookup_attribute("json", "JSONDecodeError");
  if (base == nullptr) return false;
  r.decode_error = PyErr_NewException("quibex.JSONDecodeError", base, nullptr);
  Py_DECREF(base);
  return r.decode_error != nullptr;
}

}  // namespace

int fill_module_state(ModuleState& state, PyObject* module) noexcept {
  return fill_registry(state.types, module) ? 0 : -1;
}

int traverse_module_state(ModuleState& state, visitproc visit, void* arg) noexcept {
  // The cached keys are strs, which hold no references.
  return traverse_type_registry(state.types, visit, arg);
}

void clear_module_state(ModuleState& state) noexcept {
  clear_type_registry(state.types);
  release_read_cache(state.read);
}

}  // namespace quibex
