// The only file that includes <Python.h>; first include of every binding file.
// Py_LIMITED_API comes from the build (USE_SABI 3.10), never from source.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
