#pragma once

#include "support.h"

// dumps(obj, /, default=None, option=None)
QUIBEX_EXPORT PyObject* dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
