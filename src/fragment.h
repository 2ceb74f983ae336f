// quibex.Fragment: pre-serialised JSON that dumps copies verbatim.
#pragma once

#include "support.h"

namespace quibex {

struct Fragment {
  PyObject_HEAD
  PyObject* contents;  // owned; exactly bytes or str to be serialisable
};

}  // namespace quibex

QUIBEX_EXPORT PyObject* quibex_fragmenttype_new();
QUIBEX_EXPORT PyObject* quibex_fragment_tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds);
QUIBEX_EXPORT void quibex_fragment_dealloc(PyObject* self);
