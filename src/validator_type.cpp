// Placeholder until the validator class lands.
#include "python.hpp"

#include "classes.hpp"
#include "py_owned.hpp"

namespace vorn::py {

namespace {

PyType_Slot validator_slots[] = {{0, nullptr}};
PyType_Spec validator_spec = {"vorn_schema.Validator", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         validator_slots};
PyObject* validator_cache = nullptr;

}  // namespace

PyObject* validator_class() {
  return cached_type(validator_cache, &validator_spec);
}

}  // namespace vorn::py
