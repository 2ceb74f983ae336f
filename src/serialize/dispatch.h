// Classification of values and the top-level serialiser of each layout.
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"
#include "serialize/per_type/float.h"
#include "serialize/per_type/int.h"
#include "serialize/per_type/str.h"
#include "typeref/registry.h"

namespace quibex {

// Writes frame.obj in the layout L (CompactLayout or IndentWriter).
template <class L>
DumpResult serialize(const SerializerFrame& frame, L& layout) noexcept;

// Kind of a value whose type failed the exact tests.
ValueKind classify(PyTypeObject* type, uint32_t state, TypeRegistry& r) noexcept;

// Container writers; the depth in `state` or the frame has already been
// raised for the container. write_list writes a list or list subclass from
// its item array, and the non-empty exact lists among its items in the same
// walk; write_dict a dict with str keys in its own order;
// write_dict_with_options picks the dict writer that the options select
// (non-string keys, sorted or plain).
template <class L>
DumpResult write_list(PyObject* list, PyObject* default_, uint32_t state, L& layout) noexcept;
template <class L>
DumpResult write_dict(PyObject* dict, PyObject* default_, uint32_t state, L& layout) noexcept;
template <class L>
DumpResult write_dict_with_options(const SerializerFrame& frame, L& layout) noexcept;

// Every value that is not an exact str, int, bool, None, float, list or dict.
template <class L>
DumpResult serialize_other(const SerializerFrame& frame, L& layout) noexcept;

// Delegating handlers (default hook, enum members, fragments).
template <class L>
DumpResult serialize_default(const SerializerFrame& frame, L& layout) noexcept;
template <class L>
DumpResult serialize_enum(const SerializerFrame& frame, L& layout) noexcept;
DumpResult serialize_fragment(PyObject* content, OutputBuffer& out) noexcept;

// true or false, one 8-byte store counted as 4 or 5 bytes.
[[nodiscard, gnu::always_inline]] inline DumpResult write_bool(OutputBuffer& out, PyObject* obj) noexcept {
  QUIBEX_TRY(out.reserve(kBoundedValueRoom));
  if (obj == Py_True) out.put8("true\0\0\0\0", 4);
  else out.put8("false\0\0\0", 5);
  return kDumpOk;
}

// A walk that writes no list in place.
struct NoListInPlace {
  bool operator()(PyObject*) const noexcept { return false; }
};

// One value inside a container writer's walk, or the root: the exact types
// of the common values are tested in order (str, int, float, bool, None,
// list, dict) and those values are written in place into the writer's local
// layout; nested non-empty containers and everything else cost one call,
// but for a non-empty exact list that `in_place(list)` takes (the list
// writer's walk, which writes it itself). `state` is the enclosing
// container's state word.
template <class L, class InPlace = NoListInPlace>
[[gnu::always_inline]] inline DumpResult write_item(LocalLayout<L>& w, PyObject* obj, PyObject* default_,
                                                    uint32_t state, InPlace in_place = {}) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  OutputBuffer& out = w->out;
  if (type == &PyUnicode_Type) return write_str(out, obj);
  if (type == &PyLong_Type) return write_int_object(out, obj, state::options(state));
  if (type == &PyFloat_Type) return write_float_object(out, obj);
  if (type == &PyBool_Type) return write_bool(out, obj);
  if (obj == Py_None) return out.write_null();
  if (type == &PyList_Type) {
    if (Py_SIZE(obj) == 0) return write_empty_pair(out, "[]");
    if (in_place(obj)) return kDumpOk;
    return w.call([=](L& shared) { return write_list(obj, default_, state + state::kContainerDepthOne, shared); });
  }
  if (type == &PyDict_Type) {
    if (state::container_depth(state) + 1 >= state::kDepthLimit) [[unlikely]]
      return make_dump_error(DumpErrorKind::RecursionLimit);
    if (ffi::dict_used(obj) == 0) return write_empty_pair(out, "{}");
    const uint32_t child_state = state + state::kContainerDepthOne;
    if (state::options(state) & (OPT_NON_STR_KEYS | OPT_SORT_KEYS)) {
      const SerializerFrame child{obj, default_, child_state};
      return w.call([&child](L& shared) { return write_dict_with_options(child, shared); });
    }
    return w.call([=](L& shared) { return write_dict(obj, default_, child_state, shared); });
  }
  return w.call([=](L& shared) { return serialize_other(SerializerFrame{obj, default_, state}, shared); });
}

// One member "key": value inside a dict writer's walk; `state` is the
// dict's state word.
template <class L>
[[nodiscard, gnu::always_inline]] inline DumpResult write_member(LocalLayout<L>& w, bool first, Utf8View key,
                                                                 PyObject* value, PyObject* default_,
                                                                 uint32_t state) noexcept {
  QUIBEX_TRY(w->element_prefix(first));
  QUIBEX_TRY(write_escaped(w->out, key));
  QUIBEX_TRY(w->key_separator());
  QUIBEX_TRY(write_item(w, value, default_, state));
  w->after_element();
  return kDumpOk;
}

}  // namespace quibex
