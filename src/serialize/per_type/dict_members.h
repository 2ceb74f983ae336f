// The members of a dict that is written in an order of its own (sorted keys)
// or under converted keys (OPT_NON_STR_KEYS): collected in one walk, then
// written by one loop.
#pragma once

#include "serialize/frame.h"
#include "serialize/layout.h"
#include "serialize/per_type/dict_walk.h"
#include "serialize/per_type/key_sort.h"
#include "serialize/per_type/str.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Room for any key text that is written rather than borrowed: a date, time
// or datetime, a UUID, a signed 64-bit integer, a double.
inline constexpr size_t kKeyTextRoom = 40;

// A converted key: its UTF-8 text, borrowed from `owner` (the str itself,
// or the str an enum member stands for) or written into the caller's room.
struct KeyText {
  const uint8_t* bytes;
  size_t len;
  Owned owner;  // null when the text lies in the room
};

// For each member: its key text (the record the sort moves), the dict's key
// object, the position of its entry and the value it had when collected.
// That value is written only while no Python code has run since the
// collection began; otherwise each value is read from the dict when its
// member is written, as it stands then, so these writers see a dict changed
// while written as the plain walk does. Before
// each member, and after the last, the dict must still have its size; a
// member whose key is gone by then, or that is gone afterwards while keys
// were added, fails as "dictionary keys changed during iteration".
//
// Python code run after a key was collected (converting later keys,
// writing values) may change the dict and drop the key's last reference,
// and the texts are borrowed from the keys and their owners. So text owners
// hold references from the time they are collected, and so do the keys of
// a dict whose keys are converted (its collection runs Python code); the
// keys of any other dict are borrowed from the dict until Python code is
// about to run (BorrowingWriter), most often never. The room area, made
// when the first converted key needs it, has kKeyTextRoom bytes for every
// member, so it never moves; texts are packed in it.
//
// The records live in one block; blocks for dicts of up to kPooledMembers
// members are kept for reuse by the next dict (dict_members.cpp).
class DictMembers : private BorrowingWriter {
 public:
  // `borrow_keys`: whether keys are borrowed until Python code is about to
  // run, which the collection must not run (no key is converted).
  DictMembers(PyObject* dict, bool borrow_keys) noexcept : BorrowingWriter{}, walk_(dict), keys_held_(!borrow_keys) {}
  DictMembers(const DictMembers&) = delete;
  DictMembers& operator=(const DictMembers&) = delete;
  ~DictMembers();

  // Collects every member in the dict's order. An exact str key borrows its
  // UTF-8 text; any other key goes to other(key) -> DumpResult, which
  // appends it through append_converted or fails.
  template <class Other>
  DumpResult collect(Other&& other) noexcept {
    QUIBEX_TRY(allocate());
    collect_steps_ = python_code_steps;
    PyTypeObject* str_type = &PyUnicode_Type;
    PyObject* key;
    DictWalk::Cursor cursor = walk_.cursor();
    while (walk_.next(cursor, &key, &value_)) {
      offset_ = cursor.last;
      if (Py_TYPE(key) == str_type) [[likely]] {
        Utf8View view;
        if (!unicode_utf8_view(key, &view)) [[unlikely]]
          return make_dump_error(DumpErrorKind::InvalidStr);
        append(view.data, view.size, key, nullptr);
        continue;
      }
      QUIBEX_TRY(other(key));
    }
    QUIBEX_TRY(walk_.outcome());
    if (!keys_held_) {
      hold = hold_keys;
      list_borrowing_writer(this);
      listed_ = true;
    }
    return kDumpOk;
  }

  // kKeyTextRoom writable bytes for the next converted key's text; null
  // (MemoryError pending) when the room area cannot be made.
  uint8_t* room() noexcept;

  // Appends the member the walk yielded last, of key `key` converted to
  // `text`, whose owner it takes over.
  void append_converted(PyObject* key, KeyText text) noexcept {
    if (!text.owner) rooms_used_ += text.len;  // the text was written at room()
    else owned_texts_ = true;
    append(text.bytes, text.len, key, text.owner.release());
  }

  void sort() noexcept { sort_pairs(order_, size_); }

  // Writes "{", the members in their order, "}". Values are serialised with
  // the dict frame's default and state.
  template <class L>
  DumpResult write(const SerializerFrame& frame, L& layout) noexcept;

 private:
  DumpResult allocate() noexcept;

  // What the writer needs of a member, by its place in the dict's order.
  struct Member {
    PyObject* key;    // held once keys_held_
    PyObject* owner;  // a converted key's text owner; null for str keys and room texts
    PyObject* value;  // borrowed, valid while python_code_steps == collect_steps_
    size_t offset;    // where its entry lay, for DictTable::value_at
  };

  void append(const uint8_t* text, size_t len, PyObject* key, PyObject* owner) noexcept {
    order_[size_] = make_member_key(text, len, size_);
    members_[size_] = {key, owner, value_, offset_};
    if (keys_held_) Py_INCREF(key);
    ++size_;
  }

  // Takes a reference to every key (BorrowingWriter::hold).
  static void hold_keys(BorrowingWriter* w) noexcept;

  // The value of member i (borrowed) when its entry is not where it was.
  [[gnu::cold]] DumpResult look_up(size_t i, PyObject** value) noexcept;

  DictWalk walk_;
  MemberKey* order_ = nullptr;  // one block for both arrays, capacity_ entries each
  Member* members_ = nullptr;
  size_t capacity_ = 0;
  PyObject* value_ = nullptr;    // the value of the entry the walk yielded last
  size_t offset_ = 0;            // and where it lay
  uint64_t collect_steps_ = 0;
  bool owned_texts_ = false;     // whether any member has an owner
  bool keys_held_;               // whether the keys are held (else borrowed from the dict)
  bool listed_ = false;          // whether listed as a BorrowingWriter
  size_t size_ = 0;
  uint8_t* rooms_ = nullptr;
  size_t rooms_used_ = 0;
};

}  // namespace quibex
