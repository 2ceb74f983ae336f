// The module's process-wide start-up: the registry's interpreter objects,
// the processor variant of each routine, the key cache and the Fragment type.
#include "startup.h"

#include "deserialize/build_str.h"
#include "deserialize/key_cache.h"
#include "deserialize/utf8.h"
#include "fragment.h"
#include "serialize/per_type/str.h"
#include "typeref/cpu.h"
#include "typeref/registry.h"

#include <datetime.h>

#include <atomic>
#include <mutex>

namespace quibex {

namespace {

// Held by the caller that fills the registry, for as long as it does, and
// locked only with the interpreter lock released. Neither tried nor paired
// with a condition variable: those need newer C and C++ runtime libraries
// than the oldest systems the wheels are built for.
std::mutex once_mutex;
std::atomic<bool> once_complete = false;

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

// Fills `r`; false with the exception set when a step fails.
bool fill_registry(TypeRegistry& r) noexcept {
  r.escape_str = select_variant(kEscapeVariants);
  r.build_str = select_variant(kBuildStrVariants);
  r.validate_utf8 = select_variant(kValidateUtf8Variants);

  r.none = Py_None;
  r.true_ = Py_True;
  r.false_ = Py_False;
  r.empty_str = PyUnicode_New(0, 255);
  if (r.empty_str == nullptr) return false;
  r.str_type = &PyUnicode_Type;
  r.bytes_type = &PyBytes_Type;
  r.dict_type = &PyDict_Type;
  r.list_type = &PyList_Type;
  r.tuple_type = &PyTuple_Type;
  r.none_type = Py_TYPE(Py_None);
  r.bool_type = &PyBool_Type;
  r.int_type = &PyLong_Type;
  r.float_type = &PyFloat_Type;

  auto* capi = static_cast<PyDateTime_CAPI*>(PyCapsule_Import("datetime.datetime_CAPI", 1));
  if (capi == nullptr) return false;
  r.date_type = capi->DateType;
  r.datetime_type = capi->DateTimeType;
  r.time_type = capi->TimeType;
  r.tzinfo_type = capi->TZInfoType;
  r.delta_type = capi->DeltaType;
  r.utc = capi->TimeZone_UTC;
  r.timezone_type = ffi::has_timezone_layout(r.utc, r.delta_type) ? Py_TYPE(r.utc) : nullptr;

  r.uuid_type = reinterpret_cast<PyTypeObject*>(lookup_attribute("uuid", "UUID"));
  if (r.uuid_type == nullptr) return false;
  r.enum_meta = reinterpret_cast<PyTypeObject*>(lookup_attribute("enum", "EnumMeta"));
  if (r.enum_meta == nullptr) return false;
  r.enum_value_property = enum_value_property();
  if (r.enum_value_property == nullptr) return false;
  r.dataclass_field_marker = lookup_attribute("dataclasses", "_FIELD");
  if (r.dataclass_field_marker == nullptr) return false;

  r.fragment_type = reinterpret_cast<PyTypeObject*>(quibex_fragmenttype_new());
  if (r.fragment_type == nullptr) return false;

  if (!intern_names(r)) return false;

  r.encode_error = Py_NewRef(PyExc_TypeError);
  PyObject* base = lookup_attribute("json", "JSONDecodeError");
  if (base == nullptr) return false;
  r.decode_error = PyErr_NewException("quibex.JSONDecodeError", base, nullptr);
  Py_DECREF(base);
  return r.decode_error != nullptr;
}

}  // namespace

int init_registry_once() noexcept {
  if (once_complete.load(std::memory_order_acquire)) return 0;
  // Another caller filling the registry may need the interpreter lock to
  // finish its imports.
  std::unique_lock lock(once_mutex, std::defer_lock);
  Py_BEGIN_ALLOW_THREADS
  lock.lock();
  Py_END_ALLOW_THREADS
  if (once_complete.load(std::memory_order_relaxed)) return 0;
  // Built aside and published whole, so a failed attempt leaves the registry
  // as it was (its partial references are kept alive, like every entry).
  TypeRegistry r = REGISTRY;
  const bool ok = create_key_map() && fill_registry(r);
  if (ok) REGISTRY = r;
  once_complete.store(ok, std::memory_order_release);
  return ok ? 0 : -1;
}

}  // namespace quibex
