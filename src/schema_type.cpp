// Placeholder until the schema class lands.
#include "python.hpp"

#include "classes.hpp"
#include "py_owned.hpp"

namespace vorn::py {

namespace {

struct SchemaObject {
  PyObject_HEAD
  std::shared_ptr<const Schema> schema;
};

PyType_Slot schema_slots[] = {{0, nullptr}};
PyType_Spec schema_spec = {"vorn_schema.Schema", sizeof(SchemaObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           schema_slots};
PyObject* schema_cache = nullptr;

}  // namespace

PyObject* schema_class() {
  return cached_type(schema_cache, &schema_spec);
}

const std::shared_ptr<const Schema>& schema_of(PyObject* obj) {
  return reinterpret_cast<SchemaObject*>(obj)->schema;
}

}  // namespace vorn::py
