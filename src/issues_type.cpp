// Placeholder until the issues classes land.
#include "python.hpp"

#include "classes.hpp"
#include "py_owned.hpp"

namespace vorn::py {

namespace {

PyType_Slot issue_slots[] = {{0, nullptr}};
PyType_Spec issue_spec = {"vorn_schema.Issue", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         issue_slots};
PyObject* issue_cache = nullptr;
PyType_Slot issues_slots[] = {{0, nullptr}};
PyType_Spec issues_spec = {"vorn_schema.Issues", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         issues_slots};
PyObject* issues_cache = nullptr;

}  // namespace

PyObject* issue_class() {
  return cached_type(issue_cache, &issue_spec);
}

PyObject* issues_class() {
  return cached_type(issues_cache, &issues_spec);
}

}  // namespace vorn::py
