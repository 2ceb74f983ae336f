#pragma once

#include "support.h"

// loads(obj, /)
QUIBEX_EXPORT PyObject* loads(PyObject* module, PyObject* obj);
