#include "serialize/dispatch.h"

#include "fragment.h"
#include "serialize/numpy/array.h"
#include "serialize/numpy/registry.h"
#include "serialize/per_type/dataclass.h"
#include "serialize/per_type/datetime.h"
#include "serialize/per_type/dict_walk.h"
#include "serialize/per_type/enum.h"
#include "serialize/per_type/float.h"
#include "serialize/per_type/int.h"
#include "serialize/per_type/non_str_keys.h"
#include "serialize/per_type/numpy.h"
#include "serialize/per_type/sorted_dict.h"
#include "serialize/per_type/str.h"
#include "serialize/per_type/uuid.h"
#include "serialize/python_code.h"
#include "support.h"
#include "typeref/registry.h"

namespace quibex {
namespace {

// The lists a list writer walks in place of a call each: the non-empty
// exact lists met as items, up to kListLevels deep below the writer's own
// list; deeper ones are written by a call.
struct ListLevel {
  PyObject* sequence;
  Py_ssize_t next;   // index of the next item
  Py_ssize_t count;  // items when the walk of this list began
};
constexpr int kListLevels = 3;

// The suspended levels of a walk, and a reference to each list entered,
// released on every path out of the writer.
struct ListStack {
  ListLevel suspended[kListLevels];
  PyObject* entered[kListLevels];  // entered[j] was entered from suspended[j]
  int depth = 0;

  ListStack() noexcept = default;
  ListStack(const ListStack&) = delete;
  ListStack& operator=(const ListStack&) = delete;
  ~ListStack() {
    for (int j = 0; j < depth; ++j) Py_DECREF(entered[j]);
  }
};

// A tuple (kTuple), or a list or list subclass, whose exact lists are then
// walked in place.
template <bool kTuple, class L>
DumpResult write_sequence(PyObject* sequence, PyObject* default_, uint32_t st, L& layout) noexcept {
  if (state::container_depth(st) >= state::kDepthLimit) [[unlikely]]
    return make_dump_error(DumpErrorKind::RecursionLimit);
  // Every sequence of the walk is held while walked: Python code run by an
  // item (default, a property) may drop every other reference to it or
  // change it. Each takes its count when its walk begins, so a list that
  // grows while written cannot keep the walk going; the size and the item
  // array are re-read before each item, so one that shrinks or is
  // reallocated is never read out of bounds or after release.
  Owned hold = Owned::borrow(sequence);
  ListStack stack;
  ListLevel level{sequence, 0, Py_SIZE(sequence)};
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('['));
  for (;;) {
    if (level.next < level.count && level.next < Py_SIZE(level.sequence)) {
      PyObject* item = kTuple ? PyTuple_GET_ITEM(level.sequence, level.next)
                              : PyList_GET_ITEM(level.sequence, level.next);
      QUIBEX_TRY(w->element_prefix(level.next == 0));
      ++level.next;
      // A non-empty exact list item becomes the current level, while the
      // stack has room; the item writer tests the types first.
      bool enter = false;
      const auto in_place = [&enter, depth = stack.depth](PyObject*) {
        enter = !kTuple && depth < kListLevels;
        return enter;
      };
      QUIBEX_TRY(write_item(w, item, default_, st, in_place));
      if (enter) {
        if (state::container_depth(st) + 1 >= state::kDepthLimit) [[unlikely]]
          return make_dump_error(DumpErrorKind::RecursionLimit);
        st += state::kContainerDepthOne;
        stack.suspended[stack.depth] = level;
        stack.entered[stack.depth++] = Py_NewRef(item);
        level = ListLevel{item, 0, Py_SIZE(item)};
        QUIBEX_TRY(w->begin('['));
        continue;
      }
      w->after_element();
      continue;
    }
    QUIBEX_TRY(w->end(']'));
    if (stack.depth == 0) return kDumpOk;
    Py_DECREF(stack.entered[--stack.depth]);
    level = stack.suspended[stack.depth];
    st -= state::kContainerDepthOne;
    w->after_element();
  }
}

// A list subclass or a tuple: "[]" when empty, else its writer one level
// deeper.
template <class L>
DumpResult write_sequence_value(const SerializerFrame& frame, L& layout) noexcept {
  if (Py_SIZE(frame.obj) == 0) return write_empty_pair(layout.out, "[]");
  const uint32_t child_state = frame.state + state::kContainerDepthOne;
  if (PyList_Check(frame.obj)) return write_sequence<false>(frame.obj, frame.default_, child_state, layout);
  return write_sequence<true>(frame.obj, frame.default_, child_state, layout);
}

// A dict subclass: the depth limit first, then "{}" when empty, else the
// writer the options select.
template <class L>
DumpResult write_dict_value(const SerializerFrame& frame, L& layout) noexcept {
  if (state::container_depth(frame.state) + 1 >= state::kDepthLimit) [[unlikely]]
    return make_dump_error(DumpErrorKind::RecursionLimit);
  if (ffi::dict_used(frame.obj) == 0) return write_empty_pair(layout.out, "{}");
  return write_dict_with_options(SerializerFrame{frame.obj, frame.default_, frame.state + state::kContainerDepthOne},
                                 layout);
}

}  // namespace

template <class L>
DumpResult serialize(const SerializerFrame& frame, L& layout) noexcept {
  LocalLayout<L> w(layout);
  return write_item(w, frame.obj, frame.default_, frame.state);
}

template <class L>
DumpResult serialize_other(const SerializerFrame& frame, L& layout) noexcept {
  // Any of these writers may run Python code, or free an object whose
  // finalizer does: the walks of the enclosing containers look again.
  note_python_code();
  PyObject* obj = frame.obj;
  const OptionSet opts = state::options(frame.state);
  TypeRegistry& r = *layout.types;
  if (Py_TYPE(obj) == r.datetime_type && !(opts & OPT_PASSTHROUGH_DATETIME))
    return write_datetime(layout.out, obj, opts, r);
  // The remaining writers may run Python code (default, attribute reads)
  // that drops every other reference to the value, so it is held meanwhile.
  Owned hold = Owned::borrow(obj);
  switch (classify(Py_TYPE(obj), frame.state, r)) {
    case ValueKind::Int:
      return write_int_object(layout.out, obj, opts);
    case ValueKind::Bool:
      return write_bool(layout.out, obj);
    case ValueKind::None:
      return layout.out.write_null();
    case ValueKind::Float:
      return write_float_object(layout.out, obj);
    case ValueKind::List:
    case ValueKind::Tuple:
      return write_sequence_value(frame, layout);
    case ValueKind::Dict:
      return write_dict_value(frame, layout);
    case ValueKind::Str:
      return write_str_subclass(layout.out, obj);
    case ValueKind::Enum:
      return serialize_enum(frame, layout);
    case ValueKind::Fragment:
      return serialize_fragment(reinterpret_cast<Fragment*>(obj)->contents, layout.out);
    case ValueKind::NumpyScalar:
      return write_numpy_scalar(obj, opts, layout.out, r);
    case ValueKind::NumpyArray:
      return write_numpy_array(frame, layout);
    case ValueKind::Datetime:
      return write_datetime(layout.out, obj, opts, r);
    case ValueKind::Date:
      return write_date(layout.out, obj);
    case ValueKind::Time:
      return write_time(layout.out, obj, opts);
    case ValueKind::Uuid:
      return write_uuid(layout.out, obj, r);
    case ValueKind::Dataclass:
      return serialize_dataclass(frame, layout);
    case ValueKind::Unsupported:
      return serialize_default(frame, layout);
  }
  return serialize_default(frame, layout);
}

ValueKind classify(PyTypeObject* type, uint32_t st, TypeRegistry& r) noexcept {
  const OptionSet opts = state::options(st);
  if (type == r.uuid_type) return ValueKind::Uuid;
  if (type == &PyTuple_Type) return ValueKind::Tuple;
  if (type == r.fragment_type) return ValueKind::Fragment;
  if (!(opts & OPT_PASSTHROUGH_DATETIME)) {
    if (type == r.date_type) return ValueKind::Date;
    if (type == r.time_type) return ValueKind::Time;
  }
  if (!(opts & OPT_PASSTHROUGH_SUBCLASS)) {
    const unsigned long flags = type->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return ValueKind::Str;
    if (flags & Py_TPFLAGS_LONG_SUBCLASS) return ValueKind::Int;
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return ValueKind::List;
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return ValueKind::Dict;
  }
  if (Py_TYPE(type) == r.enum_meta) return ValueKind::Enum;
  if (!(opts & OPT_PASSTHROUGH_DATACLASS)) {
    Owned dict = Owned::steal(ffi::type_dict(type));
    if (dict && PyDict_Contains(dict.get(), r.dataclass_fields_name) == 1) return ValueKind::Dataclass;
  }
  if (opts & OPT_SERIALIZE_NUMPY) {
    const NumpyTypes* np = numpy_types(r.numpy);  // imports numpy on first use
    if (np == nullptr) return ValueKind::Unsupported;
    if (is_numpy_scalar(*np, type)) return ValueKind::NumpyScalar;
    if (is_numpy_array(*np, type)) return ValueKind::NumpyArray;
  }
  return ValueKind::Unsupported;
}

template <class L>
DumpResult write_list(PyObject* list, PyObject* default_, uint32_t st, L& layout) noexcept {
  return write_sequence<false>(list, default_, st, layout);
}

template <class L>
DumpResult write_dict(PyObject* dict, PyObject* default_, uint32_t st, L& layout) noexcept {
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('{'));
  // A value's writer may run Python code that changes the dict: the walk
  // fetches each entry just before it is written and fails on a changed size.
  DictWalk walk(dict);
  DictWalk::Cursor cursor = walk.cursor();
  PyObject *key, *value;
  for (bool first = true; walk.next(cursor, &key, &value); first = false) {
    if (Py_TYPE(key) != &PyUnicode_Type) [[unlikely]]
      return make_dump_error(DumpErrorKind::KeyMustBeStr);
    Utf8View view;
    if (!unicode_utf8_view(key, &view)) [[unlikely]]
      return make_dump_error(DumpErrorKind::InvalidStr);
    QUIBEX_TRY(write_member(w, first, view, value, default_, st));
  }
  QUIBEX_TRY(walk.outcome());
  return w->end('}');
}

template <class L>
DumpResult write_dict_with_options(const SerializerFrame& frame, L& layout) noexcept {
  const OptionSet opts = state::options(frame.state);
  if (opts & OPT_NON_STR_KEYS) return write_dict_non_str(frame, layout);
  if (opts & OPT_SORT_KEYS) return write_dict_sorted(frame, layout);
  return write_dict(frame.obj, frame.default_, frame.state, layout);
}

template <class L>
DumpResult serialize_default(const SerializerFrame& frame, L& layout) noexcept {
  if (frame.default_ == nullptr) return make_dump_error(DumpErrorKind::UnsupportedType, frame.obj);
  if (state::default_depth(frame.state) == state::kDepthLimit)
    return make_dump_error(DumpErrorKind::DefaultRecursionLimit);
  // The value is held across the call: the callable may drop its container.
  Owned value = Owned::borrow(frame.obj);
  PyObject* arg = value.get();
  Owned result = Owned::steal(PyObject_Vectorcall(frame.default_, &arg, 1, nullptr));
  if (!result) return make_dump_error(DumpErrorKind::UnsupportedType, arg);
  return serialize(SerializerFrame{result.get(), frame.default_, frame.state + state::kDefaultDepthOne},
                   layout);
}

template <class L>
DumpResult serialize_enum(const SerializerFrame& frame, L& layout) noexcept {
  Owned value;
  QUIBEX_TRY(enum_final_value(frame.obj, frame.state, DumpErrorKind::UnsupportedType, &value, *layout.types));
  return serialize(SerializerFrame{value.get(), frame.default_, frame.state}, layout);
}

DumpResult serialize_fragment(PyObject* content, OutputBuffer& out) noexcept {
  Utf8View view;
  if (Py_TYPE(content) == &PyBytes_Type) {
    view = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(content)),
            static_cast<size_t>(PyBytes_GET_SIZE(content))};
  } else if (Py_TYPE(content) == &PyUnicode_Type) {
    if (!unicode_utf8_view(content, &view)) return make_dump_error(DumpErrorKind::InvalidStr);
  } else {
    return make_dump_error(DumpErrorKind::InvalidFragment);
  }
  QUIBEX_TRY(out.reserve(view.size + 32));
  std::memcpy(out.write_ptr(), view.data, view.size);
  out.advance(view.size);
  return kDumpOk;
}

#define QUIBEX_INSTANTIATE_LAYOUT(L)                                                          \
  template DumpResult serialize<L>(const SerializerFrame&, L&) noexcept;                       \
  template DumpResult serialize_other<L>(const SerializerFrame&, L&) noexcept;                 \
  template DumpResult write_list<L>(PyObject*, PyObject*, uint32_t, L&) noexcept;              \
  template DumpResult write_dict<L>(PyObject*, PyObject*, uint32_t, L&) noexcept;              \
  template DumpResult write_dict_with_options<L>(const SerializerFrame&, L&) noexcept;         \
  template DumpResult serialize_default<L>(const SerializerFrame&, L&) noexcept;               \
  template DumpResult serialize_enum<L>(const SerializerFrame&, L&) noexcept;
QUIBEX_INSTANTIATE_LAYOUT(CompactLayout)
QUIBEX_INSTANTIATE_LAYOUT(IndentWriter)
#undef QUIBEX_INSTANTIATE_LAYOUT

}  // namespace quibex
