// Runtime support shared by every subsystem: owned references and the
// export macro for the seven public symbols.
#pragma once

#include "ffi/python.h"

#include <cstddef>
#include <utility>

#define QUIBEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace quibex {

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
