// quibex.Fragment: pre-serialised JSON that dumps copies verbatim.
#pragma once

#include "support.h"

namespace quibex {

struct Fragment {
  PyObject_HEAD
  PyObject* contents;  // owned; exactly bytes or str to be serialisable
};

}  // namespace quibex

// A new Fragment type of the module (a heap type each interpreter's module
// makes for itself); null with the exception set.
QUIBEX_EXPORT PyObject* quibex_fragmenttype_new(PyObject* module);
QUIBEX_EXPORT PyObject* quibex_fragment_tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds);
QUIBEX_EXPORT void quibex_fragment_dealloc(PyObject* self);
