#include "serialize/per_type/enum.h"

#include "serialize/dispatch.h"
#include "typeref/registry.h"

namespace quibex {
namespace {

// New reference to the member's `value` as PyObject_GetAttr gives it, or null
// with the exception pending. Where the member's class resolves "value"
// through the generic attribute lookup to enum.Enum's own descriptor, which
// returns member._value_, that attribute is read directly instead of
// running the descriptor's Python code; a failure there is left for the full
// lookup to report as it would.
PyObject* member_value(PyObject* member, const TypeRegistry& r) noexcept {
  PyTypeObject* type = Py_TYPE(member);
  if (type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, r.value_name) == r.enum_value_property) {
    PyObject* value = PyObject_GetAttr(member, r.member_value_name);
    if (value != nullptr) return value;
    PyErr_Clear();
  }
  return PyObject_GetAttr(member, r.value_name);
}

}  // namespace

DumpResult enum_final_value(PyObject* member, uint32_t st, DumpErrorKind unreadable, Owned* value,
                            TypeRegistry& r) noexcept {
  Owned current = Owned::borrow(member);  // reading `value` may run Python code
  for (uint32_t hops = 1;; ++hops) {
    Owned next = Owned::steal(member_value(current.get(), r));
    if (!next) return make_dump_error(unreadable, current.get());
    PyTypeObject* type = Py_TYPE(next.get());
    if (Py_TYPE(type) != r.enum_meta || classify(type, st, r) != ValueKind::Enum) {
      *value = std::move(next);
      return kDumpOk;
    }
    if (hops == state::kDepthLimit) return make_dump_error(DumpErrorKind::RecursionLimit);
    current = std::move(next);
  }
}

}  // namespace quibex
