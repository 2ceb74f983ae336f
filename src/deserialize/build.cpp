#include "deserialize/build.h"

#include "deserialize/key_cache.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstring>

namespace quibex {
namespace {

// A container being filled. The walk is iterative, with these frames in
// place of C recursion, so nesting depth costs no thread stack.
struct Frame {
  PyObject* container;   // borrowed: held by its parent, or the caller's root
  const DocValue* next;  // the next child record
  const DocValue* end;   // the record after the container's last descendant
  Py_ssize_t index;      // next list slot (lists only)
};

// Frames for the open containers: a few on the C stack, more on the heap
// for deeply nested documents.
class FrameStack {
 public:
  FrameStack() noexcept = default;
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;
  ~FrameStack() {
    if (frames_ != local_) PyMem_Free(frames_);
  }

  Frame& top() noexcept { return frames_[depth_]; }
  // False with MemoryError set when the frames cannot grow.
  [[nodiscard]] bool push(const Frame& f) noexcept {
    if (depth_ + 1 == capacity_ && !grow()) return false;
    frames_[++depth_] = f;
    return true;
  }
  // Containers open above the root.
  size_t depth() const noexcept { return depth_; }
  // Closes the top frame; false when it was the root.
  bool pop() noexcept { return depth_-- != 0; }
  void set_root(const Frame& f) noexcept { frames_[0] = f; }

 private:
  bool grow() noexcept {
    const size_t capacity = capacity_ * 2;
    auto* frames = static_cast<Frame*>(PyMem_Malloc(capacity * sizeof(Frame)));
    if (frames == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    std::memcpy(static_cast<void*>(frames), frames_, capacity_ * sizeof(Frame));
    if (frames_ != local_) PyMem_Free(frames_);
    frames_ = frames;
    capacity_ = capacity;
    return true;
  }

  Frame local_[32];
  Frame* frames_ = local_;
  size_t capacity_ = 32;
  size_t depth_ = 0;
};

Frame frame_for(PyObject* container, const DocValue& record) noexcept {
  return {container, record.first_child(), record.next_sibling(), 0};
}

// New reference for a scalar or String record, or a new empty list or dict
// sized for a container record; null with the exception set on failure.
[[gnu::always_inline]] inline PyObject* make_value(const DocValue& v) noexcept {
  switch (v.tag & 0x1F) {  // kind and subkind
    case kTagNull:
      return ffi::immortal_ref(REGISTRY.none);
    case kTagFalse:
      return ffi::immortal_ref(REGISTRY.false_);
    case kTagTrue:
      return ffi::immortal_ref(REGISTRY.true_);
    case kTagUnsigned:  // the same int either way; PyLong_FromLong takes one call fewer on 3.11
      return v.payload.u <= uint64_t{LONG_MAX} ? PyLong_FromLong(long(v.payload.u))
                                               : PyLong_FromUnsignedLongLong(v.payload.u);
    case kTagSigned:
      return PyLong_FromLongLong(v.payload.i);
    case kTagReal:
      return PyFloat_FromDouble(v.payload.f);
    case kTagString:
      return v.count() == 0 ? ffi::immortal_ref(REGISTRY.empty_str) : build_str(v.payload.str, v.count());
    case kTagArray:
      return PyList_New(Py_ssize_t(v.count()));
    default:  // kTagObject; a presized dict never resizes while it is filled
      return v.count() <= 8 ? PyDict_New() : ffi::new_presized_dict(Py_ssize_t(v.count()));
  }
}

// The key str for a String record, with its hash stored: short keys from
// KEY_MAP, longer ones built here. New reference or null.
PyObject* make_key(KeySequence& keys, const DocValue& k, size_t depth) noexcept {
  const size_t n = k.count();
  if (n <= kMaxCachedKeyLength) return keys.lookup(k.payload.str, n, depth);
  PyObject* key = build_str(k.payload.str, n);
  if (key != nullptr) store_str_hash(key);
  return key;
}

// Whether the children of a container record hold no containers
// themselves: such a container is filled at once, without a frame.
bool holds_no_containers(const DocValue& v) noexcept {
  const uint64_t records_inside = v.payload.distance / sizeof(DocValue) - 1;
  return records_inside == ((v.tag & 0xFF) == kTagObject ? 2 : 1) * v.count();
}

// The list's item array. The list was created with its final size and no
// Python code runs while it is filled, so the array stays where it is.
PyObject** items_of(PyObject* list) noexcept { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Inserts the member whose key record is `k` and value record `v`; the new
// value (borrowed: the dict holds it) goes to *value. Each key comes with its
// hash, so the dict never hashes it. A repeated key keeps the first key
// object and takes the last value.
[[gnu::always_inline]] inline bool insert_member(PyObject* dict, const DocValue& k, const DocValue& v,
                                                 KeySequence& keys, size_t depth, PyObject** value) noexcept {
  Owned key = Owned::steal(make_key(keys, k, depth));
  if (!key) return false;
  Owned owned = Owned::steal(make_value(v));
  if (!owned) return false;
  *value = owned.get();
  return ffi::dict_set_known_hash(dict, key.get(), owned.get(), ffi::stored_str_hash(key.get())) == 0;
}

// Fills a new container whose children are all scalars or strings.
bool fill_flat(PyObject* container, const DocValue& record, KeySequence& keys, size_t depth) noexcept {
  const DocValue* v = record.first_child();
  const auto n = Py_ssize_t(record.count());
  if ((record.tag & 0xFF) == kTagArray) {
    PyObject** const items = items_of(container);
    for (Py_ssize_t i = 0; i < n; ++i, ++v) {
      PyObject* item = make_value(*v);
      if (item == nullptr) return false;
      items[i] = item;
    }
    return true;
  }
  for (Py_ssize_t i = 0; i < n; ++i, v += 2) {
    PyObject* value;
    if (!insert_member(container, v[0], v[1], keys, depth, &value)) return false;
  }
  return true;
}

enum class Fill { Done, Descend, Failed };

// Stores elements into the list of `f` until it is full (Done) or a
// container with containers inside has been stored and must be filled first
// (Descend, with its frame in `child`). The frame's fields are worked on in
// locals, which the calls into the interpreter cannot touch.
Fill fill_list(Frame& f, Frame& child, KeySequence& keys, size_t depth) noexcept {
  PyObject** const items = items_of(f.container);
  const DocValue* next = f.next;
  const DocValue* const end = f.end;
  Py_ssize_t index = f.index;
  while (next != end) {
    const DocValue& v = *next;
    PyObject* item = make_value(v);
    if (item == nullptr) return Fill::Failed;
    items[index++] = item;
    next = v.next_sibling();
    if (v.is_container() && v.count() != 0) {
      if (holds_no_containers(v)) {
        if (!fill_flat(item, v, keys, depth + 1)) return Fill::Failed;
        continue;
      }
      f.next = next;
      f.index = index;
      child = frame_for(item, v);
      return Fill::Descend;
    }
  }
  return Fill::Done;
}

// The same for the members of a dict.
Fill fill_dict(Frame& f, Frame& child, KeySequence& keys, size_t depth) noexcept {
  const DocValue* next = f.next;
  const DocValue* const end = f.end;
  while (next != end) {
    const DocValue& v = next[1];
    PyObject* value;
    if (!insert_member(f.container, next[0], v, keys, depth, &value)) return Fill::Failed;
    next = v.next_sibling();
    if (v.is_container() && v.count() != 0) {
      // The dict now holds the value; it stays there while it is filled.
      if (holds_no_containers(v)) {
        if (!fill_flat(value, v, keys, depth + 1)) return Fill::Failed;
        continue;
      }
      f.next = next;
      child = frame_for(value, v);
      return Fill::Descend;
    }
  }
  return Fill::Done;
}

}  // namespace

PyObject* build_document(const DocValue* root) noexcept {
  Owned result = Owned::steal(make_value(*root));
  if (!result || !root->is_container() || root->count() == 0) return result.release();
  FrameStack stack;
  KeySequence keys;
  stack.set_root(frame_for(result.get(), *root));
  for (;;) {
    Frame& f = stack.top();
    Frame child;
    const Fill step = PyList_CheckExact(f.container) ? fill_list(f, child, keys, stack.depth())
                                                     : fill_dict(f, child, keys, stack.depth());
    if (step == Fill::Failed) return nullptr;  // releasing the root releases every part built
    if (step == Fill::Descend) {
      if (!stack.push(child)) return nullptr;
    } else if (!stack.pop()) {
      return result.release();
    }
  }
}

}  // namespace quibex
