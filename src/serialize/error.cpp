#include "serialize/error.h"

#include "deserialize/utf8.h"
#include "support.h"
#include "typeref/registry.h"

#include <cstring>
#include <string_view>

namespace quibex {
namespace {

// Message of each fixed kind, indexed by DumpErrorKind.
constexpr std::string_view kMessages[] = {
    "datetime's timezone library is not supported: use datetime.timezone.utc, pendulum, pytz, or dateutil",
    "default serializer exceeds recursion limit",
    "Integer exceeds 53-bit range",
    "Integer exceeds 64-bit range",
    "str is not valid UTF-8: surrogates not allowed",
    "quibex.Fragment's content is not of type bytes or str",
    "Dict key must be str",
    "Recursion limit reached",
    "datetime.time must not have tzinfo set",
    "Dict integer key must be within 64-bit range",
    "Dict key must a type serializable with OPT_NON_STR_KEYS",
    "numpy array is malformed",
    "numpy array is not C contiguous; use ndarray.tolist() in default",
    "numpy array is not native-endianness",
    "unsupported datatype in numpy array",
    "",  // MessageText: the carried str
    "Type is not JSON serializable: ",
    "memory allocation failed",
};
static_assert(std::size(kMessages) == static_cast<size_t>(DumpErrorKind::OutOfMemory) + 1);

DumpResult make_text(std::string_view head, std::string_view tail) noexcept {
  auto* error = static_cast<DumpError*>(alloc_or_abort(sizeof(DumpError)));
  const size_t n = head.size() + tail.size();
  error->text = static_cast<char*>(alloc_or_abort(n + 1));
  if (!head.empty()) std::memcpy(error->text, head.data(), head.size());
  if (!tail.empty()) std::memcpy(error->text + head.size(), tail.data(), tail.size());
  error->text[n] = '\0';
  return DumpResult{error};
}

// Appends `name` as UTF-8, replacing each byte that starts no well-formed
// sequence by U+FFFD.
DumpResult make_type_message(std::string_view head, const char* name) noexcept {
  const size_t len = std::strlen(name);
  // Each input byte yields at most 3 output bytes.
  char* out = static_cast<char*>(alloc_or_abort(3 * len + 1));
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
  DumpResult r = make_text(head, std::string_view(out, o));
  PyMem_Free(out);
  return r;
}

PyObject* message_str(const char* text) noexcept {
  const size_t n = std::strlen(text);
  if (n == 0) return Py_NewRef(REGISTRY.empty_str);
  return build_str(reinterpret_cast<const uint8_t*>(text), n);
}

}  // namespace

DumpResult make_dump_error(DumpErrorKind kind, PyObject* payload) noexcept {
  const std::string_view head = kMessages[static_cast<size_t>(kind)];
  switch (kind) {
    case DumpErrorKind::UnsupportedType:
      return make_type_message(head, Py_TYPE(payload)->tp_name);
    case DumpErrorKind::MessageText: {
      // The serialiser carries only str objects it built from valid text.
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(payload, &size);
      return make_text({}, std::string_view(utf8, static_cast<size_t>(size)));
    }
    default:
      return make_text(head, {});
  }
}

void raise_dump_error(DumpError* error) noexcept {
  PyObject* cause = ffi::take_raised_exception();
  raise_argument_error(error->text);
  PyMem_Free(error->text);
  PyMem_Free(error);
  if (cause != nullptr) {
    PyObject* raised = ffi::take_raised_exception();
    PyException_SetCause(raised, cause);  // steals cause, sets __suppress_context__
    ffi::restore_raised_exception(raised);
  }
}

void raise_argument_error(const char* text) noexcept {
  PyObject* message = message_str(text);
  if (message == nullptr) return;
  PyErr_SetObject(REGISTRY.encode_error, message);
  Py_DECREF(message);
}

}  // namespace quibex
