#include "serialize/error.h"

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
    "dictionary changed size during iteration",
    "dictionary keys changed during iteration",
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

// Appends `name` as UTF-8, replacing every invalid sequence by U+FFFD.
DumpResult make_type_message(std::string_view head, const char* name) noexcept {
  const size_t len = std::strlen(name);
  // Each input byte yields at most 3 output bytes.
  char* out = static_cast<char*>(alloc_or_abort(3 * len + 1));
  size_t o = 0;
  auto* s = reinterpret_cast<const unsigned char*>(name);
  for (size_t i = 0; i < len;) {
    const unsigned char b = s[i];
    size_t n = 0;
    uint32_t cp = 0, min = 0;
    if (b < 0x80) n = 1, cp = b;
    else if ((b & 0xE0) == 0xC0) n = 2, cp = b & 0x1F, min = 0x80;
    else if ((b & 0xF0) == 0xE0) n = 3, cp = b & 0x0F, min = 0x800;
    else if ((b & 0xF8) == 0xF0) n = 4, cp = b & 0x07, min = 0x10000;
    bool valid = n != 0 && i + n <= len;
    for (size_t k = 1; valid && k < n; ++k) {
      valid = (s[i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    valid = valid && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (valid) {
      std::memcpy(out + o, s + i, n);
      o += n;
      i += n;
    } else {
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
