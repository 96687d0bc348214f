// The one wording of a wrong argument type, for the arguments the binding checks itself.
#pragma once

#include "python.hpp"

#include "py_owned.hpp"

namespace vorn::py {

/// Raises TypeError "{function}() argument '{name}' must be {expected}, not {type}", the
/// interpreter's own wording, naming the parameter however it was passed. Always false.
inline bool wrong_argument(PyObject* arg, const char* function, const char* name,
                           const char* expected) {
  // The limited API of 3.10 has no PyType_GetName.
  Owned type_name =
      Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__"));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", function, name, expected,
                 type_name.get());
  }
  return false;
}

}  // namespace vorn::py
