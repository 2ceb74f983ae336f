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
    case kTagUnsigned:
      return PyLong_FromUnsignedLongLong(v.payload.u);
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
PyObject* make_key(KeySequence& keys, const DocValue& k) noexcept {
  const size_t n = k.count();
  if (n <= kMaxCachedKeyLength) return keys.lookup(k.payload.str, n);
  PyObject* key = build_str(k.payload.str, n);
  if (key != nullptr) store_str_hash(key);
  return key;
}

enum class Fill { Done, Descend, Failed };

// Stores elements into the list of `f` until it is full (Done) or a non-empty
// container has been stored and must be filled first (Descend, with its
// frame in `child`).
Fill fill_list(Frame& f, Frame& child) noexcept {
  while (f.next != f.end) {
    const DocValue& v = *f.next;
    PyObject* item = make_value(v);
    if (item == nullptr) return Fill::Failed;
    PyList_SET_ITEM(f.container, f.index++, item);
    f.next = v.next_sibling();
    if (v.is_container() && v.count() != 0) {
      child = frame_for(item, v);
      return Fill::Descend;
    }
  }
  return Fill::Done;
}

// The same for the members of a dict: each key comes with its hash, so the
// dict never hashes it. A repeated key keeps the first key object and takes
// the last value.
Fill fill_dict(Frame& f, Frame& child, KeySequence& keys) noexcept {
  while (f.next != f.end) {
    const DocValue& k = f.next[0];
    const DocValue& v = f.next[1];
    Owned key = Owned::steal(make_key(keys, k));
    if (!key) return Fill::Failed;
    Owned value = Owned::steal(make_value(v));
    if (!value) return Fill::Failed;
    if (ffi::dict_set_known_hash(f.container, key.get(), value.get(), ffi::stored_str_hash(key.get())) < 0) {
      return Fill::Failed;
    }
    f.next = v.next_sibling();
    if (v.is_container() && v.count() != 0) {
      // The dict now holds the value; it stays there while it is filled.
      child = frame_for(value.get(), v);
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
    const Fill step = PyList_CheckExact(f.container) ? fill_list(f, child) : fill_dict(f, child, keys);
    if (step == Fill::Failed) return nullptr;  // releasing the root releases every part built
    if (step == Fill::Descend) {
      if (!stack.push(child)) return nullptr;
    } else if (!stack.pop()) {
      return result.release();
    }
  }
}

}  // namespace quibex
