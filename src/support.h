// Runtime support shared by every subsystem: owned references, the module's
// own allocations, and the export macro for the seven public symbols.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <utility>

#define QUIBEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace quibex {

// Writes "memory allocation of N bytes failed" to stderr and aborts: running
// out of memory for the module's own records is fatal.
[[noreturn]] void abort_on_allocation_failure(size_t bytes) noexcept;

// PyMem_Malloc for the module's own records; never returns null.
inline void* alloc_or_abort(size_t bytes) noexcept {
  void* p = PyMem_Malloc(bytes);
  if (p == nullptr) abort_on_allocation_failure(bytes);
  return p;
}

class Owned {  // one owned reference, released on scope exit
 public:
  Owned() noexcept = default;
  static Owned steal(PyObject* p) noexcept { return Owned(p); }
  static Owned borrow(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    Py_XDECREF(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Owned(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quibex
