// The failure value of every serialiser, and how dumps raises it.
#pragma once

#include "ffi/python.h"

#include <cstdint>

namespace quibex {

// What failed. Each kind's message is declared beside it in error.cpp's
// table, whose rows the compiler checks against this order.
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
  OutOfMemory,      // the serialiser's own allocation failed (MemoryError pending or not)
  PassedThrough,    // the pending exception is raised unchanged (see make_dump_error)
  Count,            // not a kind: the number of kinds
};

// A failure: its kind and message text, formed at the point of failure so
// that it does not depend on objects that may be released on the way up.
// The OutOfMemory and PassedThrough records are prepared once, so that
// returning them allocates nothing; every other record is allocated.
struct DumpError {
  DumpErrorKind kind;
  char* text;  // NUL-terminated UTF-8, owned (PyMem) by an allocated record
};

// Success is a null error. Trivially copyable so that it returns in a register.
struct [[nodiscard]] DumpResult {
  DumpError* error = nullptr;
  bool ok() const noexcept { return error == nullptr; }
};

inline constexpr DumpResult kDumpOk{};

// Forms the message of `kind` (payload as documented for the kind). Makes no
// interpreter call that sets or clears an exception. A pending MemoryError,
// or a pending exception that is not an Exception (KeyboardInterrupt,
// SystemExit), gives the PassedThrough record instead, except for
// OutOfMemory: a callback's interruption or lack of memory is not reported
// as a serialisation error. When the record cannot be allocated the
// prepared OutOfMemory record stands in for it.
[[gnu::cold]] DumpResult make_dump_error(DumpErrorKind kind, PyObject* payload = nullptr) noexcept;

// Raises JSONEncodeError with the error's text, chaining whatever exception
// is pending as its cause (a MemoryError for OutOfMemory when none is), and
// frees the error. PassedThrough leaves the pending exception as it is.
// Where even the JSONEncodeError cannot be made, MemoryError is raised.
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
