#include "serialize/per_type/dataclass.h"

#include "serialize/dispatch.h"
#include "serialize/per_type/attribute.h"
#include "serialize/per_type/dict_walk.h"
#include "serialize/per_type/str.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstring>

namespace quibex {
namespace {

// Whether the type's own dictionary holds "__slots__". The lookup through
// the MRO, which the interpreter answers from its type attribute cache,
// settles the common answer: found nowhere, so not in the own dictionary.
bool type_has_own_slots(PyTypeObject* type, const TypeRegistry& r) noexcept {
  if (_PyType_Lookup(type, r.slots_name) == nullptr) return false;
  Owned dict = Owned::steal(ffi::type_dict(type));
  return dict && PyDict_Contains(dict.get(), r.slots_name) == 1;
}

// The key's UTF-8 view; the key must be exactly str.
DumpResult member_name(PyObject* name, Utf8View* view) noexcept {
  if (Py_TYPE(name) != &PyUnicode_Type) return make_dump_error(DumpErrorKind::KeyMustBeStr);
  if (!unicode_utf8_view(name, view)) return make_dump_error(DumpErrorKind::InvalidStr);
  return kDumpOk;
}

bool is_private(Utf8View name) noexcept { return name.size != 0 && name.data[0] == '_'; }

// Whether a field's `_field_type` marks a regular field (not a class
// variable or an init-only pseudo-field), in *is_field; fails with the
// unreadable marker name pending. dataclasses' own _FIELD settles it by
// identity, and its sibling markers by their shared type. A marker of
// another type is one made by a dataclasses module loaded again
// (importlib.reload) and is recognised by its name, "_FIELD".
DumpResult is_field_marker(PyObject* kind, PyObject* obj, PyObject* marker, bool* is_field) noexcept {
  if (kind == marker || Py_TYPE(kind) == Py_TYPE(marker) ||
      std::strcmp(Py_TYPE(kind)->tp_name, Py_TYPE(marker)->tp_name) != 0) {
    *is_field = kind == marker;
    return kDumpOk;
  }
  Owned name = Owned::steal(PyObject_GetAttrString(kind, "name"));
  if (!name) return make_dump_error(DumpErrorKind::UnsupportedType, obj);
  *is_field = PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "_FIELD") == 0;
  return kDumpOk;
}

// Every entry of the instance dictionary, in its order.
template <class L>
DumpResult write_instance_dict(PyObject* dict, const SerializerFrame& frame, L& layout) noexcept {
  DictWalk walk(dict);
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('{'));
  bool first = true;
  PyObject *key, *value;
  while (walk.next(&key, &value)) {
    Utf8View name;
    QUIBEX_TRY(member_name(key, &name));
    if (is_private(name)) continue;
    QUIBEX_TRY(write_member(w, first, name, value, frame.default_, frame.state));
    first = false;
  }
  QUIBEX_TRY(walk.outcome());
  return w->end('}');
}

// The declared fields (class variables and init-only pseudo-fields left
// out), in definition order, each value read from the instance.
template <class L>
DumpResult write_fields(const SerializerFrame& frame, L& layout) noexcept {
  const TypeRegistry& r = *layout.types;
  PyObject* obj = frame.obj;
  Owned table = Owned::steal(PyObject_GetAttr(obj, r.dataclass_fields_name));
  if (!table || !PyDict_Check(table.get())) return make_dump_error(DumpErrorKind::UnsupportedType, obj);
  DictWalk walk(table.get());
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('{'));
  bool first = true;
  PyObject *key, *field;
  while (walk.next(&key, &field)) {
    // Reading the field's kind or the value may run Python code that
    // changes the table.
    note_python_code();
    Owned held_key = Owned::borrow(key);
    Owned kind = Owned::steal(get_attribute(field, r.field_type_name));
    if (!kind) return make_dump_error(DumpErrorKind::UnsupportedType, obj);  // its exception as cause
    bool is_field;
    QUIBEX_TRY(is_field_marker(kind.get(), obj, r.dataclass_field_marker, &is_field));
    if (!is_field) continue;
    Utf8View name;
    QUIBEX_TRY(member_name(key, &name));
    if (is_private(name)) continue;
    Owned value = Owned::steal(get_attribute(obj, key));
    if (!value) return make_dump_error(DumpErrorKind::UnsupportedType, obj);  // unset slot: AttributeError as cause
    QUIBEX_TRY(write_member(w, first, name, value.get(), frame.default_, frame.state));
    first = false;
  }
  QUIBEX_TRY(walk.outcome());
  return w->end('}');
}

}  // namespace

template <class L>
DumpResult serialize_dataclass(const SerializerFrame& frame, L& layout) noexcept {
  if (state::container_depth(frame.state) + 1 >= state::kDepthLimit) [[unlikely]]
    return make_dump_error(DumpErrorKind::RecursionLimit);
  // Held for the walk: attribute reads and member values run Python code
  // that may drop every other reference to the instance.
  Owned hold = Owned::borrow(frame.obj);
  const SerializerFrame inner{frame.obj, frame.default_, frame.state + state::kContainerDepthOne};
  const TypeRegistry& r = *layout.types;
  Owned dict = Owned::steal(get_attribute(frame.obj, r.dict_name));
  if (!dict) {
    PyErr_Clear();
    return write_fields(inner, layout);
  }
  if (!PyDict_Check(dict.get()) || type_has_own_slots(Py_TYPE(frame.obj), r)) {
    dict = Owned();
    return write_fields(inner, layout);
  }
  return write_instance_dict(dict.get(), inner, layout);
}

template DumpResult serialize_dataclass<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult serialize_dataclass<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
