// The extension module `_vorn`, its exception class and `Limits`.
//
//   class Limits:
//       def __init__(self, max_depth=None, max_items=None, max_string_bytes=None,
//                    max_object_keys=None): ...
//       max_depth: int          # read-only
//       max_items: int          # read-only
//       max_string_bytes: int   # read-only
//       max_object_keys: int    # read-only
//       def __reduce__(self): ...   # Limits(*the four values)
//
//   class ParseError(Exception): ...   # one argument, the "{line}:{column}: {message}" text
#include "python.hpp"

#include <cstdint>
#include <new>  // placement new

#include "classes.hpp"
#include "py_args.hpp"  // wrong_argument
#include "py_owned.hpp"

namespace vorn::py {

namespace {

// From project() in CMakeLists.txt, where the version is written once.
constexpr const char* version = VORN_VERSION;

struct LimitsObject {
  PyObject ob_base;  // PyObject_HEAD, spelled out so that formatting keeps one member a line
  Limits value;
};

constexpr const char* limit_names[] = {"max_depth", "max_items", "max_string_bytes",
                                       "max_object_keys"};

// Converts one constructor argument; `arg` is borrowed from the call's arguments, which the
// caller keeps alive across `__index__`.
bool convert_limit(PyObject* arg, const char* name, std::uint64_t& out) {
  if (arg == nullptr || arg == Py_None) {
    return true;
  }
  Owned index = Owned::steal(PyNumber_Index(arg));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return wrong_argument(arg, "Limits", name, "an integer or None");
    }
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  out = v;
  return true;
}

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"max_depth", "max_items", "max_string_bytes",
                                     "max_object_keys", nullptr};
    PyObject* given[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:Limits", const_cast<char**>(keywords),
                                     &given[0], &given[1], &given[2], &given[3])) {
      return nullptr;
    }
    Limits limits = default_limits;
    std::uint64_t* fields[4] = {&limits.max_depth, &limits.max_items, &limits.max_string_bytes,
                                &limits.max_object_keys};
    for (int i = 0; i < 4; ++i) {
      if (!convert_limit(given[i], limit_names[i], *fields[i])) {
        return nullptr;
      }
    }
    PyObject* self = alloc_instance(type);
    if (self == nullptr) {
      return nullptr;
    }
    // tp_alloc hands out zeroed memory, not a Limits: construct it there, so the object's
    // lifetime starts before dealloc_instance ends it.
    new (&reinterpret_cast<LimitsObject*>(self)->value) Limits(limits);
    return self;
  });
}

template <std::uint64_t Limits::*Field>
PyObject* limits_get(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<LimitsObject*>(self)->value.*Field);
}

PyGetSetDef limits_getset[] = {
    {"max_depth", limits_get<&Limits::max_depth>, nullptr, nullptr, nullptr},
    {"max_items", limits_get<&Limits::max_items>, nullptr, nullptr, nullptr},
    {"max_string_bytes", limits_get<&Limits::max_string_bytes>, nullptr, nullptr, nullptr},
    {"max_object_keys", limits_get<&Limits::max_object_keys>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* limits_reduce(PyObject* self, PyObject*) noexcept {
  const Limits& v = reinterpret_cast<LimitsObject*>(self)->value;
  return Py_BuildValue("(O(KKKK))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       static_cast<unsigned long long>(v.max_depth),
                       static_cast<unsigned long long>(v.max_items),
                       static_cast<unsigned long long>(v.max_string_bytes),
                       static_cast<unsigned long long>(v.max_object_keys));
}

PyMethodDef limits_methods[] = {
    {"__reduce__", method_fn(limits_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot limits_slots[] = {
    {Py_tp_doc, const_cast<char*>("Limits(max_depth=None, max_items=None, max_string_bytes=None, "
                                  "max_object_keys=None)\n--\n\n")},
    {Py_tp_new, slot_fn(limits_new)},
    {Py_tp_dealloc, slot_fn(dealloc_instance<LimitsObject, &LimitsObject::value>)},
    {Py_tp_getset, limits_getset},
    {Py_tp_methods, limits_methods},
    {0, nullptr},
};

PyType_Spec limits_spec = {
    "vorn_schema.Limits", sizeof(LimitsObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    limits_slots,
};

PyObject* limits_cache = nullptr;
PyObject* parse_error_cache = nullptr;

// Appends `name` to the module's __all__ (creating it if absent), then sets the attribute.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return false;
    }
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  Owned text = Owned::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    return false;
  }
  return PyModule_AddObjectRef(module, name, value) == 0;
}

int module_exec(PyObject* module) noexcept {
  return guard(-1, [&]() -> int {
    // The caches hold class objects for the whole process, so they must belong to the one
    // interpreter that lives as long as the process: the main one. The limited API has no
    // PyInterpreterState_Main, so this relies on CPython numbering the main interpreter 0.
    // Refusing every other interpreter, even one that imports first, keeps a subinterpreter
    // from filling the caches with classes that die with it.
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
      return -1;
    }
    if (id != 0) {
      PyErr_SetString(PyExc_ImportError, "_vorn can only be loaded in the main interpreter");
      return -1;
    }
    struct PublicClass {
      const char* name;
      PyObject* (*get)();
    };
    const PublicClass entries[] = {
        {"Schema", schema_class}, {"Validator", validator_class}, {"Issue", issue_class},
        {"Limits", limits_class}, {"Issues", issues_class},       {"ParseError", parse_error_class},
    };
    for (const PublicClass& e : entries) {
      PyObject* cls = e.get();
      if (cls == nullptr || !add_public(module, e.name, cls)) {
        return -1;
      }
    }
    Owned v = Owned::steal(PyUnicode_FromString(version));
    if (!v || !add_public(module, "__version__", v.get())) {
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot_fn(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vorn", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* limits_class() {
  return cached_type(limits_cache, &limits_spec);
}

Limits limits_of(PyObject* obj) {
  return reinterpret_cast<LimitsObject*>(obj)->value;
}

PyObject* parse_error_class() {
  if (parse_error_cache != nullptr) {
    return parse_error_cache;
  }
  PyObject* made = PyErr_NewException("_vorn.ParseError", PyExc_Exception, nullptr);
  if (made == nullptr) {
    return nullptr;
  }
  if (parse_error_cache == nullptr) {
    parse_error_cache = made;
  } else {
    Py_DECREF(made);
  }
  return parse_error_cache;
}

}  // namespace vorn::py

PyMODINIT_FUNC PyInit__vorn() {
  return PyModuleDef_Init(&vorn::py::module_def);
}
