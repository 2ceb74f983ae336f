// dumps: arguments, options, the output buffer and the raised error.
#include "serialize/dumps.h"

#include "module_state.h"
#include "serialize/dispatch.h"

namespace quibex {
namespace {

// Reads the option word: None or an exact int in 0..4095. False otherwise.
bool read_options(PyObject* option, OptionSet* opts) noexcept {
  if (option == nullptr || option == Py_None) {
    *opts = 0;
    return true;
  }
  if (Py_TYPE(option) != &PyLong_Type) return false;
  const ffi::LongView v = ffi::long_view(option);
  if (v.sign == 1) {
    *opts = 0;
    return true;
  }
  if (v.sign != 0 || !v.compact || v.digit >= kOptionLimit) return false;
  *opts = v.digit;
  return true;
}

// Whether a keyword name is `interned`: by identity first (the interpreter
// interns the names of ordinary calls), else by value, so that names built at
// run time (dumps(x, **options) with keys read from a file) still match.
bool keyword_is(PyObject* name, PyObject* interned) noexcept {
  return name == interned || (PyUnicode_CheckExact(name) && PyUnicode_Compare(name, interned) == 0);
}

// Unpacks (obj, default, option); false with the argument error raised.
bool unpack_arguments(const TypeRegistry& r, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** obj, PyObject** default_, PyObject** option) noexcept {
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (n == 0) {
    raise_argument_error("dumps() missing 1 required positional argument: 'obj'");
    return false;
  }
  if (n > 3) {
    raise_argument_error("dumps() takes at most 3 positional arguments");
    return false;
  }
  *obj = args[0];
  if (n >= 2) *default_ = args[1];
  if (n == 3) *option = args[2];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[n + i];
    if (keyword_is(name, r.default_name)) {
      if (n >= 2) {
        raise_argument_error("dumps() got multiple values for argument: 'default'");
        return false;
      }
      *default_ = value;
    } else if (keyword_is(name, r.option_name)) {
      if (n == 3) {
        raise_argument_error("dumps() got multiple values for argument: 'option'");
        return false;
      }
      *option = value;
    } else {
      raise_argument_error("dumps() got an unexpected keyword argument");
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace quibex

PyObject* dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  using namespace quibex;
  TypeRegistry& r = module_state(module).types;
  PyObject *obj = nullptr, *default_ = nullptr, *option = nullptr;
  if (!unpack_arguments(r, args, nargsf, kwnames, &obj, &default_, &option)) return nullptr;
  OptionSet opts;
  if (!read_options(option, &opts)) {
    raise_argument_error("Invalid opts");
    return nullptr;
  }

  const uint64_t capacity = OutputBuffer::start_capacity();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
  if (bytes == nullptr) return nullptr;  // MemoryError
  const OutputBuffer initial{capacity, 0, reinterpret_cast<PyBytesObject*>(bytes)};
  const SerializerFrame root{obj, default_, opts};
  DumpResult result;
  OutputBuffer out;
  if (opts & OPT_INDENT_2) {
    IndentWriter layout{initial, &r, 0, false};
    result = serialize(root, layout);
    out = layout.out;
  } else {
    CompactLayout layout{initial, &r};
    result = serialize(root, layout);
    out = layout.out;
  }
  if (!result.ok()) [[unlikely]] {
    Py_XDECREF(out.bytes);
    raise_dump_error(result.error);
    return nullptr;
  }
  if (opts & OPT_APPEND_NEWLINE) out.put_spare_byte('\n');
  return out.finish();
}
