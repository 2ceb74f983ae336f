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
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept
      : hold_(Owned::borrow(dict)), used_(ffi::dict_used(dict)), remaining_(used_) {}
  DictWalk(const DictWalk&) = delete;
  DictWalk& operator=(const DictWalk&) = delete;

  PyObject* dict() const noexcept { return hold_.get(); }

  // The dict's size at the start.
  Py_ssize_t size() const noexcept { return used_; }

  // The position of the entry yielded last, for entry_value().
  Py_ssize_t position() const noexcept { return pos_ - 1; }

  [[gnu::always_inline]] bool next(PyObject** key, PyObject** value) noexcept {
    PyObject* dict = hold_.get();
    if (ffi::dict_used(dict) != used_) [[unlikely]]
      return stop(Stop::SizeChanged);
    // The table is found afresh each step: Python code run since the last
    // one may have replaced it (a freed table's address may even be reused).
    const ffi::DictEntries entries = ffi::dict_entries(dict);
    if (entries.keys != nullptr) [[likely]] {
      PyObject* const* entry = entries.keys + static_cast<size_t>(pos_) * entries.stride;
      while (pos_ < entries.count && entry[1] == nullptr) {  // null: a deleted entry
        ++pos_;
        entry += entries.stride;
      }
      if (pos_ >= entries.count) return false;
      *key = entry[0];
      *value = entry[1];
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

  [[gnu::cold]] bool stop(Stop why) noexcept {
    stop_ = why;
    return false;
  }

  Owned hold_;
  Py_ssize_t used_;
  Py_ssize_t remaining_;  // entries the walk may still yield
  Py_ssize_t pos_ = 0;    // the next position to read, PyDict_Next's position
  Stop stop_ = Stop::End;
};

// The value of the entry at `position` of the dict's combined table when
// that entry holds `key`, read in place; null when it holds another key or
// none, lies past the entries, or the table is not read in place. Reads only
// the dict's current table, within its entries.
inline PyObject* entry_value(PyObject* dict, Py_ssize_t position, PyObject* key) noexcept {
  const ffi::DictEntries entries = ffi::dict_entries(dict);
  if (entries.keys == nullptr || position >= entries.count) return nullptr;
  PyObject* const* entry = entries.keys + static_cast<size_t>(position) * entries.stride;
  return entry[0] == key ? entry[1] : nullptr;
}

}  // namespace quibex
