#include "typeref/registry.h"

#include "deserialize/build_str.h"
#include "deserialize/utf8.h"
#include "serialize/per_type/str.h"
#include "typeref/cpu.h"

namespace quibex {

namespace {

Routines select_routines() noexcept {
  return {select_variant(kEscapeVariants), select_variant(kBuildStrVariants), select_variant(kValidateUtf8Variants)};
}

// Every owned member of the registry but the numpy entry, in one table.
template <class Visit>
void for_each_member(TypeRegistry& r, Visit&& visit) {
  PyTypeObject** types[] = {&r.date_type, &r.datetime_type, &r.time_type, &r.tzinfo_type, &r.delta_type,
                            &r.timezone_type, &r.uuid_type, &r.enum_meta, &r.fragment_type};
  PyObject** objects[] = {
      &r.utc, &r.enum_value_property, &r.dataclass_field_marker, &r.decode_error, &r.int_name,
      &r.utcoffset_name, &r.normalize_name, &r.convert_name, &r.dst_name, &r.dict_name,
      &r.dataclass_fields_name, &r.slots_name, &r.field_type_name, &r.array_struct_name, &r.dtype_name,
      &r.descr_name, &r.value_name, &r.member_value_name, &r.default_name, &r.option_name,
  };
  for (PyTypeObject** t : types) visit(reinterpret_cast<PyObject**>(t));
  for (PyObject** o : objects) visit(o);
}

}  // namespace

// Selected while the library is loaded: the selection reads only the
// processor's feature words.
const Routines ROUTINES = select_routines();

int traverse_type_registry(TypeRegistry& r, visitproc visit, void* arg) noexcept {
  int result = 0;
  for_each_member(r, [&](PyObject** member) {
    if (result == 0 && *member != nullptr) result = visit(*member, arg);
  });
  return result != 0 ? result : traverse_numpy_entry(r.numpy, visit, arg);
}

void clear_type_registry(TypeRegistry& r) noexcept {
  for_each_member(r, [](PyObject** member) { Py_CLEAR(*member); });
  clear_numpy_entry(r.numpy);
}

}  // namespace quibex
