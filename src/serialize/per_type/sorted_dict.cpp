#include "serialize/per_type/sorted_dict.h"

#include "serialize/dispatch.h"
#include "serialize/per_type/dict_walk.h"
#include "serialize/per_type/str.h"
#include "support.h"
#include "typeref/registry.h"

namespace quibex {
namespace {

// The pair array of one sorted dict and the str keys whose UTF-8 bytes the
// pairs borrow. Every pair and key holds a reference: values are written
// after all keys are collected, and Python code run by one value (default, a
// property) may change the dict and drop the others' last references.
class StrKeyPairs {
 public:
  explicit StrKeyPairs(size_t capacity) noexcept
      : pairs_(static_cast<KeyValuePair*>(PyMem_Malloc(capacity * (sizeof(KeyValuePair) + sizeof(PyObject*))))),
        keys_(pairs_ == nullptr ? nullptr : reinterpret_cast<PyObject**>(pairs_ + capacity)) {}
  bool allocated() const noexcept { return pairs_ != nullptr; }
  StrKeyPairs(const StrKeyPairs&) = delete;
  StrKeyPairs& operator=(const StrKeyPairs&) = delete;
  ~StrKeyPairs() {
    for (size_t i = 0; i < size_; ++i) {
      Py_DECREF(pairs_[i].value);
      Py_DECREF(keys_[i]);
    }
    PyMem_Free(pairs_);
  }

  void append(PyObject* key, Utf8View view, PyObject* value) noexcept {
    keys_[size_] = Py_NewRef(key);
    pairs_[size_++] = {view.data, view.size, Py_NewRef(value)};
  }
  KeyValuePair* data() noexcept { return pairs_; }
  size_t size() const noexcept { return size_; }

 private:
  KeyValuePair* pairs_;
  PyObject** keys_;
  size_t size_ = 0;
};

}  // namespace

template <class L>
DumpResult write_dict_sorted(const SerializerFrame& frame, L& layout) noexcept {
  DictWalk walk(frame.obj);
  StrKeyPairs pairs(static_cast<size_t>(walk.remaining()));
  if (!pairs.allocated()) [[unlikely]]
    return make_dump_error(DumpErrorKind::OutOfMemory);
  PyObject *key, *value;
  while (walk.next(&key, &value)) {
    if (Py_TYPE(key) != REGISTRY.str_type) [[unlikely]]
      return make_dump_error(DumpErrorKind::KeyMustBeStr);
    Utf8View view;
    if (!unicode_utf8_view(key, &view)) [[unlikely]]
      return make_dump_error(DumpErrorKind::InvalidStr);
    pairs.append(key, view, value);
  }
  sort_pairs(pairs.data(), pairs.size());
  return write_pairs(pairs.data(), pairs.size(), frame, layout);
}

template <class L>
DumpResult write_pairs(const KeyValuePair* pairs, size_t n, const SerializerFrame& frame, L& layout) noexcept {
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('{'));
  for (size_t i = 0; i < n; ++i) {
    QUIBEX_TRY(w->element_prefix(i == 0));
    QUIBEX_TRY(write_escaped(w->out, Utf8View{pairs[i].key, pairs[i].len}));
    QUIBEX_TRY(w->key_separator());
    QUIBEX_TRY(write_item(w, pairs[i].value, frame.default_, frame.state));
    w->after_element();
  }
  return w->end('}');
}

#define QUIBEX_INSTANTIATE_LAYOUT(L)                                                       \
  template DumpResult write_dict_sorted<L>(const SerializerFrame&, L&) noexcept;           \
  template DumpResult write_pairs<L>(const KeyValuePair*, size_t, const SerializerFrame&, L&) noexcept;
QUIBEX_INSTANTIATE_LAYOUT(CompactLayout)
QUIBEX_INSTANTIATE_LAYOUT(IndentWriter)
#undef QUIBEX_INSTANTIATE_LAYOUT

}  // namespace quibex
