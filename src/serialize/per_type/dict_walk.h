// Iteration over a dict while Python code run between entries may change it.
#pragma once

#include "serialize/error.h"
#include "serialize/python_code.h"
#include "support.h"

namespace quibex {

// The entries of a dict's combined table as they stand, for reading values
// at known positions. refresh() must follow every step that may have run
// Python code: the table's shape is compared then, and its entries found
// afresh when it changed (a freed table's address may even be reused).
class DictTable {
 public:
  explicit DictTable(PyObject* dict) noexcept : shape_(ffi::dict_table_shape(dict)), entries_(ffi::dict_entries(dict)) {}

  void refresh(PyObject* dict) noexcept {
    const ffi::DictTableShape shape = ffi::dict_table_shape(dict);
    if (!(shape == shape_)) {
      shape_ = shape;
      entries_ = ffi::dict_entries(dict);
    } else if (entries_.keys != nullptr) {
      entries_.count = ffi::dict_entry_count(dict);
    }
  }

  // The value of the entry `offset` pointers past the key of entry 0 (as
  // DictWalk::Cursor::last gives it) when that entry holds `key`, read in
  // place; null when it holds another key or none, when the offset is not
  // that of an entry of this table (past its entries, or not a multiple of
  // its stride: the table may have been rebuilt with another one since),
  // or when the table is not read in place.
  PyObject* value_at(size_t offset, PyObject* key) const noexcept {
    if (entries_.keys == nullptr || offset % entries_.stride != 0 ||
        offset / entries_.stride >= static_cast<size_t>(entries_.count)) [[unlikely]]
      return nullptr;
    PyObject* const* entry = entries_.keys + offset;
    return entry[0] == key ? entry[1] : nullptr;
  }

  // The same shape and entry count.
  bool operator==(const DictTable& o) const noexcept { return shape_ == o.shape_ && entries_.count == o.entries_.count; }

 private:
  ffi::DictTableShape shape_;
  ffi::DictEntries entries_;
};

// Yields the dict's entries in order as Python's own dict iterator does, on
// every version: each step reads the dict's current key table at the
// position after the last entry yielded, skipping deleted entries. So a
// value replaced, or an entry deleted and another one inserted, between two
// steps is read as it stands when the walk reaches it, and no freed entry is
// ever read. Two changes end the walk with the RuntimeError Python raises:
// a size other than at the start ("dictionary changed size during
// iteration"), and an entry met after as many as the dict held at the start
// were yielded ("dictionary keys changed during iteration": some key was
// deleted after it was yielded and another inserted), so a key deleted and
// inserted again after it was yielded fails the walk rather than coming
// twice.
//
// next() returns false at the end and on such a change; outcome() then says
// which. Holds a reference to the dict for the walk. Keys and values are
// borrowed from the dict: a caller that runs Python code before it is done
// with them holds them itself.
//
// Combined tables are read in place as PyDict_Next would read them; other
// dicts go through PyDict_Next. Both count positions the same way, so a
// split table that becomes combined during the walk goes on where it was.
// The dict is looked at again only after a step that may have run Python
// code (python_code_steps grew): nothing else can change it.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept : hold_(Owned::borrow(dict)), used_(ffi::dict_used(dict)) {
    find_table(dict);
    if (base_ == nullptr) begin_checked(0);  // PyDict_Next serves every step
  }
  DictWalk(const DictWalk&) = delete;
  DictWalk& operator=(const DictWalk&) = delete;

  PyObject* dict() const noexcept { return hold_.get(); }

  // The dict's size at the start.
  Py_ssize_t size() const noexcept { return used_; }

  // Where the in-place steps read: a copy that a caller's loop keeps in
  // registers (the walk itself is handed to the checked steps, so its own
  // fields live in memory).
  struct Cursor {
    PyObject* const* entry;  // the key of the next entry to read
    PyObject* const* end;    // past the entries as at the start
    size_t stride;
    PyObject* const* base;   // the key of entry 0
    // Where the entry yielded last lies, for DictTable::value_at: pointers
    // from the key of entry 0 of the table it was read from.
    size_t last;
  };
  Cursor cursor() const noexcept { return {entry_, end_, stride_, base_, 0}; }

  // While the table keeps the shape and entry count it had at the start,
  // a step reads the next live entry in place and nothing more; the first
  // look at a changed table makes every later step a checked one. `c`
  // comes from cursor() and goes only to this walk's steps.
  [[gnu::always_inline]] bool next(Cursor& c, PyObject** key, PyObject** value) noexcept {
    if (python_code_steps != seen_) [[unlikely]] {
      entry_ = c.entry;  // the in-place steps move only the entry
      const Entry e = step_checked();
      c = cursor();
      c.last = checked() ? static_cast<size_t>(pos_ - 1) * stride_ : static_cast<size_t>(entry_ - base_) - stride_;
      *key = e.key;
      *value = e.value;
      return e.key != nullptr;
    }
    for (; c.entry != c.end; c.entry += c.stride) {
      if (c.entry[1] != nullptr) [[likely]] {  // null: a deleted entry
        *key = c.entry[0];
        *value = c.entry[1];
        c.last = static_cast<size_t>(c.entry - c.base);
        c.entry += c.stride;
        return true;
      }
      ++skipped_;
    }
    return false;  // the checked steps never reach this loop
  }

  // The same with the walk's own cursor.
  [[gnu::always_inline]] bool next(PyObject** key, PyObject** value) noexcept {
    Cursor c = cursor();
    const bool found = next(c, key, value);
    entry_ = c.entry;
    return found;
  }

  // After next() returned false: success at the end of the dict, else the
  // error with its RuntimeError pending as the cause.
  [[nodiscard]] DumpResult outcome() const noexcept {
    if (stop_ == Stop::End) [[likely]]
      return kDumpOk;
    return changed_error(stop_ == Stop::SizeChanged ? DumpErrorKind::DictChangedSize : DumpErrorKind::DictKeysChanged);
  }

  // The error of a dict changed while written, `kind` DictChangedSize or
  // DictKeysChanged, with its RuntimeError pending as the cause.
  [[gnu::cold]] static DumpResult changed_error(DumpErrorKind kind) noexcept {
    const DumpResult result = make_dump_error(kind);
    PyErr_SetString(PyExc_RuntimeError, result.error->text);  // the same text as Python's
    return result;
  }

 private:
  enum class Stop : uint8_t { End, SizeChanged, KeysChanged };

  [[gnu::always_inline]] bool stop(Stop why) noexcept {
    stop_ = why;
    return false;
  }

  // Positions in a table of the walk's stride spanned by `pointers`.
  Py_ssize_t slots(ptrdiff_t pointers) const noexcept {
    return stride_ == 2 ? pointers / 2 : pointers / 3;  // constant divisors
  }

  // The entry of a checked step, returned in registers: the key and value
  // of the caller's loop never have their addresses taken, so they stay in
  // registers too. A null key: no entry.
  struct Entry {
    PyObject* key;
    PyObject* value;
  };
  [[gnu::noinline]] Entry step_checked() noexcept {
    Entry e{nullptr, nullptr};
    if (!next_checked(&e.key, &e.value)) e.key = nullptr;
    return e;
  }

  // A step after Python code may have run, or of a walk whose table changed
  // or is not read in place: the dict is looked at before every such step,
  // as Python's own iterator does.
  bool next_checked(PyObject** key, PyObject** value) noexcept {
    PyObject* dict = hold_.get();
    if (ffi::dict_used(dict) != used_) return stop(Stop::SizeChanged);
    if (!checked()) {
      seen_ = python_code_steps;
      if (ffi::dict_table_shape(dict) == shape_ && base_ + static_cast<size_t>(ffi::dict_entry_count(dict)) * stride_ == end_)
        return next(key, value);  // unchanged: on in place
      // The position and count that the in-place steps reached.
      const Py_ssize_t pos = slots(entry_ - base_);
      begin_checked(pos);
      remaining_ = used_ - (pos - skipped_);
    }
    if (!(ffi::dict_table_shape(dict) == shape_)) find_table(dict);
    if (base_ != nullptr) {
      PyObject* const* entry = base_ + static_cast<size_t>(pos_) * stride_;
      for (;; entry += stride_, ++pos_) {
        if (pos_ >= ffi::dict_entry_count(dict)) return false;
        if (entry[1] != nullptr) break;  // null: a deleted entry
      }
      *key = entry[0];
      *value = entry[1];
      ++pos_;
    } else {
      // A local position: only its address reaches the interpreter, not the walk's.
      Py_ssize_t pos = pos_;
      if (!PyDict_Next(dict, &pos, key, value)) return false;
      pos_ = pos;
    }
    if (remaining_ == 0) return stop(Stop::KeysChanged);
    --remaining_;
    return true;
  }

  // Reads the table the dict has now: the in-place steps start at its
  // first entry, the checked ones go on at their position.
  void find_table(PyObject* dict) noexcept {
    shape_ = ffi::dict_table_shape(dict);
    const ffi::DictEntries e = ffi::dict_entries(dict);
    stride_ = e.stride;
    base_ = e.keys;
    entry_ = e.keys;
    end_ = checked() || e.keys == nullptr ? entry_ : e.keys + static_cast<size_t>(e.count) * e.stride;
  }

  // Every later step is a checked one, from `position` on.
  void begin_checked(Py_ssize_t position) noexcept {
    seen_ = kChecked;
    pos_ = position;
    remaining_ = used_;
    end_ = entry_;
  }

  Owned hold_;
  // The count when the dict was last looked at; kChecked when every step is
  // a checked one, a count python_code_steps never reaches.
  static constexpr uint64_t kChecked = UINT64_MAX;
  bool checked() const noexcept { return seen_ == kChecked; }
  uint64_t seen_ = python_code_steps;
  Py_ssize_t used_;
  Py_ssize_t remaining_;  // entries the checked steps may still yield
  ffi::DictTableShape shape_;
  PyObject* const* base_;   // the key of entry 0 when read in place, else null
  PyObject* const* entry_;  // in place: the key of the next entry to read
  PyObject* const* end_;    // in place: past the entries as at the start; entry_ in the checked steps
  size_t stride_;
  Py_ssize_t skipped_ = 0;  // deleted entries the in-place steps passed
  Py_ssize_t pos_;          // the checked steps' next position, PyDict_Next's position
  Stop stop_ = Stop::End;
};

}  // namespace quibex
