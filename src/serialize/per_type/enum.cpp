#include "serialize/per_type/enum.h"

#include "serialize/dispatch.h"
#include "typeref/registry.h"

namespace quibex {

DumpResult enum_final_value(PyObject* member, uint32_t st, DumpErrorKind unreadable, Owned* value) noexcept {
  const TypeRegistry& r = REGISTRY;
  Owned current = Owned::borrow(member);  // reading `value` may run Python code
  for (uint32_t hops = 1;; ++hops) {
    Owned next = Owned::steal(PyObject_GetAttr(current.get(), r.value_name));
    if (!next) return make_dump_error(unreadable, current.get());
    PyTypeObject* type = Py_TYPE(next.get());
    if (Py_TYPE(type) != r.enum_meta || classify(type, st) != ValueKind::Enum) {
      *value = std::move(next);
      return kDumpOk;
    }
    if (hops == state::kDepthLimit) return make_dump_error(DumpErrorKind::RecursionLimit);
    current = std::move(next);
  }
}

}  // namespace quibex
