// Iteration over a dict while Python code run between entries may change it.
#pragma once

#include "serialize/error.h"
#include "support.h"

namespace quibex {

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
// The entries of a dict's combined table as they stand, found afresh only
// when the table's shape changed since the last look: Python code may have
// replaced the table (a freed table's address may even be reused).
class DictTable {
 public:
  explicit DictTable(PyObject* dict) noexcept : shape_(ffi::dict_table_shape(dict)), entries_(ffi::dict_entries(dict)) {}

  // keys null when the table is not read in place.
  [[gnu::always_inline]] ffi::DictEntries entries(PyObject* dict) noexcept {
    const ffi::DictTableShape shape = ffi::dict_table_shape(dict);
    if (!(shape == shape_)) [[unlikely]] {
      shape_ = shape;
      entries_ = ffi::dict_entries(dict);
    } else if (entries_.keys != nullptr) [[likely]] {
      entries_.count = ffi::dict_entry_count(dict);
    }
    return entries_;
  }

  // The value of the entry at `position` when that entry holds `key`, read
  // in place; null when it holds another key or none, lies past the
  // entries, or the table is not read in place.
  [[gnu::always_inline]] PyObject* value_at(PyObject* dict, Py_ssize_t position, PyObject* key) noexcept {
    const ffi::DictEntries e = entries(dict);
    if (e.keys == nullptr || position >= e.count) [[unlikely]]
      return nullptr;
    PyObject* const* entry = e.keys + static_cast<size_t>(position) * e.stride;
    return entry[0] == key ? entry[1] : nullptr;
  }

 private:
  ffi::DictTableShape shape_;
  ffi::DictEntries entries_;
};

class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept
      : hold_(Owned::borrow(dict)), used_(ffi::dict_used(dict)), remaining_(used_) {
    find_table(dict, 0);
  }
  DictWalk(const DictWalk&) = delete;
  DictWalk& operator=(const DictWalk&) = delete;

  PyObject* dict() const noexcept { return hold_.get(); }

  // The dict's size at the start.
  Py_ssize_t size() const noexcept { return used_; }

  // The position of the entry yielded last, for DictTable::value_at.
  Py_ssize_t position() const noexcept { return pos_ - 1; }

  [[gnu::always_inline]] bool next(PyObject** key, PyObject** value) noexcept {
    PyObject* dict = hold_.get();
    if (ffi::dict_used(dict) != used_) [[unlikely]]
      return stop(Stop::SizeChanged);
    if (!(ffi::dict_table_shape(dict) == shape_)) [[unlikely]]
      find_table(dict, pos_);
    if (entry_ != nullptr) [[likely]] {
      for (;; entry_ += stride_, ++pos_) {
        if (entry_ == end_ && !more_entries(dict)) [[unlikely]]
          return false;
        if (entry_[1] != nullptr) break;  // null: a deleted entry
      }
      *key = entry_[0];
      *value = entry_[1];
      entry_ += stride_;
      ++pos_;
    } else {
      // A local position: only its address reaches the interpreter, not the walk's.
      Py_ssize_t pos = pos_;
      if (!PyDict_Next(dict, &pos, key, value)) return false;
      pos_ = pos;
    }
    if (remaining_ == 0) [[unlikely]]
      return stop(Stop::KeysChanged);
    --remaining_;
    return true;
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

  // Reads the table the dict has now, from `position` on.
  [[gnu::always_inline]] void find_table(PyObject* dict, Py_ssize_t position) noexcept {
    shape_ = ffi::dict_table_shape(dict);
    const ffi::DictEntries e = ffi::dict_entries(dict);
    stride_ = e.stride;
    pos_ = position;
    entry_ = e.keys == nullptr ? nullptr : e.keys + static_cast<size_t>(position) * e.stride;
    end_ = e.keys == nullptr || position >= e.count ? entry_ : e.keys + static_cast<size_t>(e.count) * e.stride;
  }

  // At the entries' end as last read: whether entries were appended since.
  [[gnu::always_inline]] bool more_entries(PyObject* dict) noexcept {
    const Py_ssize_t count = ffi::dict_entry_count(dict);
    if (count <= pos_) return false;
    end_ = entry_ + static_cast<size_t>(count - pos_) * stride_;
    return true;
  }

  Owned hold_;
  Py_ssize_t used_;
  Py_ssize_t remaining_;  // entries the walk may still yield
  ffi::DictTableShape shape_;
  PyObject* const* entry_;  // the key of the next entry to read in place, else null
  PyObject* const* end_;    // past the entries as last counted
  size_t stride_;
  Py_ssize_t pos_;          // the next position to read, PyDict_Next's position
  Stop stop_ = Stop::End;
};

}  // namespace quibex
