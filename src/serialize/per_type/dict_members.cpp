#include "serialize/per_type/dict_members.h"

#include "serialize/dispatch.h"

namespace quibex {
namespace {

// Bytes of a block per member: its sort record and its own record.
constexpr size_t kBytesPerMember = sizeof(MemberKey) + 4 * sizeof(PyObject*);

// Blocks of kPooledMembers members (nearly every dict fits), kept when a
// writer is done with one and taken by the next: one block per level of
// nesting being written stays allocated, in place of an allocation and a
// release per dict. Blocks of larger dicts are allocated to their size.
// One pool per thread, since interpreters with a GIL each may write at the
// same time; its blocks come from the process-wide raw allocator, so any
// interpreter may use them, and are released when the thread ends.
constexpr size_t kPooledMembers = 32;
constexpr size_t kPoolLimit = 8;  // blocks kept at most
struct BlockPool {
  void* blocks[kPoolLimit];
  size_t count = 0;
  ~BlockPool() {
    while (count != 0) PyMem_RawFree(blocks[--count]);
  }
};
thread_local BlockPool pool;

}  // namespace

DictMembers::~DictMembers() {
  if (keys_held_) {
    for (size_t i = 0; i < size_; ++i) Py_DECREF(members_[i].key);
  } else if (listed_) {
    unlist_borrowing_writer(this);
  }
  if (owned_texts_) {
    for (size_t i = 0; i < size_; ++i) Py_XDECREF(members_[i].owner);
  }
  if (capacity_ == kPooledMembers && pool.count < kPoolLimit) pool.blocks[pool.count++] = order_;
  else PyMem_RawFree(order_);
  if (rooms_ != nullptr) PyMem_Free(rooms_);
}

void DictMembers::hold_keys(BorrowingWriter* w) noexcept {
  DictMembers* m = static_cast<DictMembers*>(w);
  for (size_t i = 0; i < m->size_; ++i) Py_INCREF(m->members_[i].key);
  m->keys_held_ = true;
  m->listed_ = false;
}

DumpResult DictMembers::allocate() noexcept {
  static_assert(sizeof(Member) == 4 * sizeof(PyObject*));
  const size_t n = static_cast<size_t>(walk_.size());
  void* block;
  if (n <= kPooledMembers) {
    capacity_ = kPooledMembers;
    block = pool.count != 0 ? pool.blocks[--pool.count] : PyMem_RawMalloc(kPooledMembers * kBytesPerMember);
  } else {
    capacity_ = n;
    block = n <= PY_SSIZE_T_MAX / kBytesPerMember ? PyMem_RawMalloc(n * kBytesPerMember) : nullptr;
  }
  if (block == nullptr) {
    capacity_ = 0;
    PyErr_NoMemory();
    return make_dump_error(DumpErrorKind::OutOfMemory);
  }
  order_ = static_cast<MemberKey*>(block);
  members_ = reinterpret_cast<Member*>(order_ + capacity_);
  return kDumpOk;
}

uint8_t* DictMembers::room() noexcept {
  if (rooms_ == nullptr) {
    rooms_ = static_cast<uint8_t*>(PyMem_Malloc(static_cast<size_t>(walk_.size()) * kKeyTextRoom));
    if (rooms_ == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  return rooms_ + rooms_used_;
}

DumpResult DictMembers::look_up(size_t i, PyObject** value) noexcept {
  // The entry moved (the table was rebuilt) or the key was deleted: the
  // dict is asked. A key of another type with the same hash may run
  // Python code to compare itself.
  note_python_code();
  *value = PyDict_GetItemWithError(walk_.dict(), members_[i].key);
  if (*value != nullptr) return kDumpOk;
  if (PyErr_Occurred()) return make_dump_error(DumpErrorKind::DictKeysChanged);
  return DictWalk::changed_error(DumpErrorKind::DictKeysChanged);
}

template <class L>
DumpResult DictMembers::write(const SerializerFrame& frame, L& layout) noexcept {
  PyObject* dict = walk_.dict();
  const DictTable start(dict);
  DictTable table = start;
  const uint64_t start_steps = python_code_steps;
  uint64_t seen = start_steps;
  // Whether the dict kept its size; the table is looked at again when
  // Python code may have run since the last look.
  auto same_size = [&]() noexcept {
    if (python_code_steps == seen) [[likely]]
      return true;
    seen = python_code_steps;
    table.refresh(dict);
    return ffi::dict_used(dict) == walk_.size();
  };
  // The value of member i as it stands now.
  auto value_now = [&](size_t i, PyObject** value) noexcept {
    if (python_code_steps != seen) [[unlikely]] {
      seen = python_code_steps;
      table.refresh(dict);
    }
    *value = table.value_at(members_[i].offset, members_[i].key);
    return *value != nullptr ? kDumpOk : look_up(i, value);
  };
  LocalLayout<L> w(layout);
  QUIBEX_TRY(w->begin('{'));
  for (size_t k = 0; k < size_; ++k) {
    const MemberKey& member = order_[k];
    PyObject* value;
    if (python_code_steps == collect_steps_) [[likely]] {
      value = members_[member.index].value;  // the dict is as collected
    } else {
      if (!same_size()) return DictWalk::changed_error(DumpErrorKind::DictChangedSize);
      QUIBEX_TRY(value_now(member.index, &value));
    }
    QUIBEX_TRY(write_member(w, k == 0, Utf8View{member.key, member.len}, value, frame.default_, frame.state));
  }
  if (python_code_steps == collect_steps_) [[likely]]
    return w->end('}');
  if (!same_size()) return DictWalk::changed_error(DumpErrorKind::DictChangedSize);
  // A key added (an entry appended, or the table rebuilt) with the size
  // kept means one was deleted, perhaps one already written.
  if (python_code_steps != start_steps && !(table == start)) [[unlikely]] {
    for (size_t i = 0; i < size_; ++i) {
      PyObject* value;
      QUIBEX_TRY(value_now(i, &value));
    }
  }
  return w->end('}');
}

template DumpResult DictMembers::write<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult DictMembers::write<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
