// Iteration over a dict while Python code run between entries may change it.
#pragma once

#include "support.h"

namespace quibex {

// Yields the dict's entries in order, at most as many as it held at the
// start. Holds a reference to the dict for the walk. Stops early when the
// entries run out, or when the key table is replaced or the entry count
// changes (positions then mean nothing), so no entry is yielded twice and no
// removed one is read. A value replaced in place is read afresh: such a
// change does not cut the walk short. Keys and values are borrowed from the
// dict: a caller that runs Python code before it is done with them holds
// them itself.
//
// Entries of a combined table are read in place, as PyDict_Next would read
// them, up to the entries that existed at the start (an entry appended by a
// delete-and-insert is never reached); other dicts go through PyDict_Next.
// Either way the key table is the one checked unchanged just before, which
// the held dict keeps alive.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept
      : hold_(Owned::borrow(dict)),
        table_(ffi::dict_keys_table(dict)),
        used_(ffi::dict_used(dict)),
        remaining_(used_) {
    const ffi::DictEntries entries = ffi::dict_entries(dict);
    entry_ = entries.keys;
    end_ = entries.keys + static_cast<size_t>(entries.count) * entries.stride;
    stride_ = entries.stride;
  }

  // Entries left to yield, as counted at the start.
  Py_ssize_t remaining() const noexcept { return remaining_; }

  [[gnu::always_inline]] bool next(PyObject** key, PyObject** value) noexcept {
    PyObject* dict = hold_.get();
    if (remaining_ == 0 || ffi::dict_keys_table(dict) != table_ || ffi::dict_used(dict) != used_) return false;
    if (entry_ != nullptr) [[likely]] {
      for (; entry_ != end_; entry_ += stride_) {
        if (entry_[1] != nullptr) {  // null: a deleted entry
          *key = entry_[0];
          *value = entry_[1];
          entry_ += stride_;
          --remaining_;
          return true;
        }
      }
      return false;
    }
    // A local position: only its address reaches the interpreter, not the walk's.
    Py_ssize_t pos = pos_;
    const bool found = PyDict_Next(dict, &pos, key, value);
    pos_ = pos;
    if (!found) return false;
    --remaining_;
    return true;
  }

 private:
  Owned hold_;
  const void* table_;
  Py_ssize_t used_;
  Py_ssize_t remaining_;
  PyObject* const* entry_;  // the key of the next entry read in place; null when PyDict_Next serves
  PyObject* const* end_;
  size_t stride_;
  Py_ssize_t pos_ = 0;  // PyDict_Next's position
};

}  // namespace quibex
