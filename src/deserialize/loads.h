#pragma once

#include "support.h"

// loads(obj, /)
QUIBEX_EXPORT PyObject* loads(PyObject* self, PyObject* obj);
