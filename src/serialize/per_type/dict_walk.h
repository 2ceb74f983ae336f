// Iteration over a dict while Python code run between entries may change it.
#pragma once

#include "support.h"

namespace quibex {

// Yields the dict's entries in order, at most as many as it held at the
// start. Holds a reference to the dict for the walk. Stops early when the
// entries run out or at the first sign of change (another key table, entry
// count or version: positions in a changed table mean nothing), so no entry
// is yielded twice and no removed one is read. Keys and values are borrowed
// from the dict: a caller that runs Python code before it is done with them
// holds them itself.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept
      : hold_(Owned::borrow(dict)),
        table_(ffi::dict_keys_table(dict)),
        used_(ffi::dict_used(dict)),
        version_(ffi::dict_version(dict)),
        remaining_(used_) {}

  // Entries left to yield, as counted at the start.
  Py_ssize_t remaining() const noexcept { return remaining_; }

  bool next(PyObject** key, PyObject** value) noexcept {
    PyObject* dict = hold_.get();
    if (remaining_ == 0 || ffi::dict_keys_table(dict) != table_ || ffi::dict_used(dict) != used_ ||
        ffi::dict_version(dict) != version_ || !PyDict_Next(dict, &pos_, key, value))
      return false;
    --remaining_;
    return true;
  }

 private:
  Owned hold_;
  const void* table_;
  Py_ssize_t used_;
  uint64_t version_;
  Py_ssize_t remaining_;
  Py_ssize_t pos_ = 0;
};

}  // namespace quibex
