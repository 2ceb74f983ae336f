#include "serialize/error.h"

#include "deserialize/utf8.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstring>
#include <string_view>

namespace quibex {
namespace {

// Each kind with its message (the head of the message for UnsupportedType;
// MessageText carries its own), one row per kind in the order of the enum.
struct KindMessage {
  DumpErrorKind kind;
  std::string_view text;
};
constexpr KindMessage kMessages[] = {
    {DumpErrorKind::DatetimeLibraryUnsupported,
     "datetime's timezone library is not supported: use datetime.timezone.utc, pendulum, pytz, or dateutil"},
    {DumpErrorKind::DefaultRecursionLimit, "default serializer exceeds recursion limit"},
    {DumpErrorKind::Integer53Bits, "Integer exceeds 53-bit range"},
    {DumpErrorKind::Integer64Bits, "Integer exceeds 64-bit range"},
    {DumpErrorKind::InvalidStr, "str is not valid UTF-8: surrogates not allowed"},
    {DumpErrorKind::InvalidFragment, "quibex.Fragment's content is not of type bytes or str"},
    {DumpErrorKind::KeyMustBeStr, "Dict key must be str"},
    {DumpErrorKind::RecursionLimit, "Recursion limit reached"},
    {DumpErrorKind::TimeHasTzinfo, "datetime.time must not have tzinfo set"},
    {DumpErrorKind::DictIntegerKey64Bit, "Dict integer key must be within 64-bit range"},
    {DumpErrorKind::DictKeyInvalidType, "Dict key must a type serializable with OPT_NON_STR_KEYS"},
    {DumpErrorKind::NumpyMalformed, "numpy array is malformed"},
    {DumpErrorKind::NumpyNotCContiguous, "numpy array is not C contiguous; use ndarray.tolist() in default"},
    {DumpErrorKind::NumpyNotNativeEndian, "numpy array is not native-endianness"},
    {DumpErrorKind::NumpyUnsupportedDatatype, "unsupported datatype in numpy array"},
    {DumpErrorKind::DictChangedSize, "dictionary changed size during iteration"},
    {DumpErrorKind::DictKeysChanged, "dictionary keys changed during iteration"},
    {DumpErrorKind::MessageText, ""},
    {DumpErrorKind::UnsupportedType, "Type is not JSON serializable: "},
    {DumpErrorKind::OutOfMemory, "memory allocation failed"},
    {DumpErrorKind::PassedThrough, ""},
};

// Whether row i of kMessages is the row of kind i, for every kind.
constexpr bool rows_follow_kinds() noexcept {
  if (std::size(kMessages) != static_cast<size_t>(DumpErrorKind::Count)) return false;
  for (size_t i = 0; i < std::size(kMessages); ++i) {
    if (static_cast<size_t>(kMessages[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_follow_kinds(), "kMessages needs one row per DumpErrorKind, in the enum's order");

// The prepared records: their texts are the table's own (literals, so
// NUL-terminated), never freed.
char* table_text(DumpErrorKind kind) noexcept {
  return const_cast<char*>(kMessages[static_cast<size_t>(kind)].text.data());
}
DumpError out_of_memory_record{DumpErrorKind::OutOfMemory, table_text(DumpErrorKind::OutOfMemory)};
DumpError passed_through_record{DumpErrorKind::PassedThrough, table_text(DumpErrorKind::PassedThrough)};

bool is_prepared(const DumpError* error) noexcept {
  return error == &out_of_memory_record || error == &passed_through_record;
}

// Whether the pending exception, if any, is raised as it stands rather than
// as the cause of a JSONEncodeError: MemoryError, and whatever is not an
// Exception (KeyboardInterrupt, SystemExit, GeneratorExit), so that
// `except TypeError` around dumps never swallows them.
bool pending_passes_through() noexcept {
  PyObject* type = PyErr_Occurred();  // borrowed
  return type != nullptr && (PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
                             !PyErr_GivenExceptionMatches(type, PyExc_Exception));
}

DumpResult make_text(DumpErrorKind kind, std::string_view head, std::string_view tail) noexcept {
  auto* error = static_cast<DumpError*>(PyMem_Malloc(sizeof(DumpError)));
  const size_t n = head.size() + tail.size();
  char* text = error != nullptr ? static_cast<char*>(PyMem_Malloc(n + 1)) : nullptr;
  if (text == nullptr) [[unlikely]] {
    PyMem_Free(error);
    return DumpResult{&out_of_memory_record};
  }
  if (!head.empty()) std::memcpy(text, head.data(), head.size());
  if (!tail.empty()) std::memcpy(text + head.size(), tail.data(), tail.size());
  text[n] = '\0';
  *error = {kind, text};
  return DumpResult{error};
}

// Appends `name` as UTF-8, replacing each byte that starts no well-formed
// sequence by U+FFFD.
DumpResult make_type_message(std::string_view head, const char* name) noexcept {
  const size_t len = std::strlen(name);
  // Each input byte yields at most 3 output bytes.
  char* out = static_cast<char*>(PyMem_Malloc(3 * len + 1));
  if (out == nullptr) [[unlikely]]
    return DumpResult{&out_of_memory_record};
  size_t o = 0;
  const auto* s = reinterpret_cast<const uint8_t*>(name);
  for (size_t i = 0; i < len;) {
    const size_t valid = validate_utf8_scalar(s + i, len - i);
    std::memcpy(out + o, s + i, valid);
    o += valid;
    i += valid;
    if (i < len) {
      std::memcpy(out + o, "\xEF\xBF\xBD", 3);
      o += 3;
      i += 1;
    }
  }
  DumpResult r = make_text(DumpErrorKind::UnsupportedType, head, std::string_view(out, o));
  PyMem_Free(out);
  return r;
}

PyObject* message_str(const char* text) noexcept {
  const size_t n = std::strlen(text);
  if (n == 0) return PyUnicode_New(0, 0);
  return build_str(reinterpret_cast<const uint8_t*>(text), n);
}

// Sets JSONEncodeError with `text`; false with MemoryError set instead when
// the message cannot be made.
bool set_encode_error(const char* text) noexcept {
  PyObject* message = message_str(text);
  if (message == nullptr) return false;
  PyErr_SetObject(PyExc_TypeError, message);  // JSONEncodeError is TypeError itself
  Py_DECREF(message);
  return PyErr_ExceptionMatches(PyExc_TypeError);
}

}  // namespace

DumpResult make_dump_error(DumpErrorKind kind, PyObject* payload) noexcept {
  if (kind == DumpErrorKind::OutOfMemory) return DumpResult{&out_of_memory_record};
  if (pending_passes_through()) return DumpResult{&passed_through_record};
  const std::string_view head = kMessages[static_cast<size_t>(kind)].text;
  switch (kind) {
    case DumpErrorKind::UnsupportedType:
      return make_type_message(head, Py_TYPE(payload)->tp_name);
    case DumpErrorKind::MessageText: {
      // The serialiser carries only str objects it built from valid text.
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(payload, &size);
      return make_text(kind, {}, std::string_view(utf8, static_cast<size_t>(size)));
    }
    default:
      return make_text(kind, head, {});
  }
}

void raise_dump_error(DumpError* error) noexcept {
  if (error->kind == DumpErrorKind::PassedThrough) return;
  if (error->kind == DumpErrorKind::OutOfMemory && !PyErr_Occurred()) PyErr_NoMemory();
  PyObject* cause = ffi::take_raised_exception();
  const bool raised = set_encode_error(error->text);
  if (!is_prepared(error)) {
    PyMem_Free(error->text);
    PyMem_Free(error);
  }
  if (cause == nullptr) return;
  if (!raised) {
    // No memory for the JSONEncodeError itself: the MemoryError is raised.
    Py_DECREF(cause);
    return;
  }
  PyObject* exc = ffi::take_raised_exception();
  PyException_SetCause(exc, cause);  // steals cause, sets __suppress_context__
  ffi::restore_raised_exception(exc);
}

void raise_argument_error(const char* text) noexcept { set_encode_error(text); }

}  // namespace quibex
