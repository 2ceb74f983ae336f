// The failure value of every serialiser, and how dumps raises it.
#pragma once

#include "ffi/python.h"

#include <cstdint>

namespace quibex {

enum class DumpErrorKind : uint8_t {
  DatetimeLibraryUnsupported,
  DefaultRecursionLimit,
  Integer53Bits,
  Integer64Bits,
  InvalidStr,
  InvalidFragment,
  KeyMustBeStr,
  RecursionLimit,
  TimeHasTzinfo,
  DictIntegerKey64Bit,
  DictKeyInvalidType,
  NumpyMalformed,
  NumpyNotCContiguous,
  NumpyNotNativeEndian,
  NumpyUnsupportedDatatype,
  DictChangedSize,  // RuntimeError pending
  DictKeysChanged,  // RuntimeError pending
  MessageText,      // payload: a str the serialiser built itself
  UnsupportedType,  // payload: the offending object
  OutOfMemory,      // the output buffer could not grow; MemoryError pending
};

// A failure: the message text, formed at the point of failure so that it
// does not depend on objects that may be released on the way up.
struct DumpError {
  char* text;  // NUL-terminated UTF-8, owned (PyMem)
};

// Success is a null error. Trivially copyable so that it returns in a register.
struct [[nodiscard]] DumpResult {
  DumpError* error = nullptr;
  bool ok() const noexcept { return error == nullptr; }
};

inline constexpr DumpResult kDumpOk{};

// Forms the message of `kind` (payload as documented for the kind). Makes no
// interpreter call that sets or clears an exception.
[[gnu::cold]] DumpResult make_dump_error(DumpErrorKind kind, PyObject* payload = nullptr) noexcept;

// Raises JSONEncodeError with the error's text, chaining whatever exception
// is pending as its cause, and frees the error.
[[gnu::cold]] void raise_dump_error(DumpError* error) noexcept;

// Raises JSONEncodeError with `text` and no cause.
[[gnu::cold]] void raise_argument_error(const char* text) noexcept;

}  // namespace quibex

// Returns from the enclosing serialiser when `expr` fails.
#define QUIBEX_TRY(expr)                                \
  do {                                                  \
    ::quibex::DumpResult quibex_result_ = (expr);       \
    if (!quibex_result_.ok()) [[unlikely]]              \
      return quibex_result_;                            \
  } while (0)
