// The `Schema` class: a parsed, immutable schema.
//
//   class Schema:                       # no constructor, not subclassable, __doc__ is None
//       @staticmethod
//       def parse(source: str) -> Schema: ...
//       @staticmethod
//       def load(path: str | os.PathLike[str]) -> Schema: ...
//       def type_names(self) -> list[str]: ...
//       def describe(self) -> dict: ...
//       def validator(self, type_name: str, limits: Limits | None = None) -> Validator: ...
//       def validate(self, type_name: str, payload, limits: Limits | None = None): ...
//       def __repr__(self) -> str: ...   # Schema(types=["A", "B"])
//       def __reduce__(self): ...         # Schema.parse(source), the text kept from parsing
#include "python.hpp"

#include <fcntl.h>   // open
#include <unistd.h>  // read, close

#include <algorithm>  // std::merge
#include <cerrno>
#include <cstring>   // std::strerror
#include <iterator>  // std::back_inserter
#include <memory>
#include <new>  // placement new
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "describe.hpp"
#include "parser.hpp"
#include "py_args.hpp"  // wrong_argument
#include "py_owned.hpp"
#include "py_text.hpp"  // engine_text
#include "unicode.hpp"  // is_valid_utf8, quoted

namespace vorn::py {

namespace {

struct SchemaState {
  std::shared_ptr<const Schema> schema;
  // The text the schema was parsed from, so that pickling can send the text; shared with
  // every validator bound from it.
  std::shared_ptr<const std::string> source;
};

struct SchemaObject {
  PyObject ob_base;  // PyObject_HEAD, spelled out so that formatting keeps one member a line
  SchemaState state;
};

constexpr const char* type_names_doc =
    "type_names($self)\n--\n\nEvery declared name, objects and unions alike, sorted.";

constexpr const char* validator_doc =
    "validator($self, type_name, limits=None)\n--\n\n"
    "Binds one type for repeated validation.\n\n"
    "Everything that does not depend on the payload is resolved here instead\n"
    "of on every call: the type lookup, the `datetime` classes, the limits.\n"
    "Prefer this wherever the same type is validated more than once.";

constexpr const char* validate_doc =
    "validate($self, type_name, payload, limits=None)\n--\n\n"
    "Convenience for one-off validation.\n\n"
    "Builds a [`Validator`] and discards it, so it pays the binding cost on\n"
    "every call. In a loop, bind once with `validator()` instead.";

PyObject* wrap(SchemaState&& state) {
  PyObject* cls = schema_class();
  if (cls == nullptr) {
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* self = alloc_instance(type);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<SchemaObject*>(self)->state) SchemaState(std::move(state));
  return self;
}

// `prefix` is the file's path for Schema.load, empty for Schema.parse.
PyObject* parse_text(std::string_view text, PyObject* prefix) {
  Result<Schema, ParseError> parsed = parse(text);
  if (parsed.has_value()) {
    // Allocated before the object, so that nothing can throw between the object's birth
    // and the construction of its member, which its dealloc destroys.
    SchemaState state{std::make_shared<const Schema>(std::move(parsed).value()),
                      std::make_shared<const std::string>(text)};
    return wrap(std::move(state));
  }
  Owned message = engine_text(parsed.error().text());
  if (!message) {
    return nullptr;
  }
  if (prefix != nullptr) {
    message = Owned::steal(PyUnicode_FromFormat("%U: %U", prefix, message.get()));
    if (!message) {
      return nullptr;
    }
  }
  PyObject* cls = parse_error_class();
  if (cls != nullptr) {
    PyErr_SetObject(cls, message.get());
  }
  return nullptr;
}

// PyArg's "U" would word a positional mismatch as "argument 1"; the message names the
// parameter instead, whichever way it was passed.
bool require_str(PyObject* arg, const char* method, const char* name) {
  if (PyUnicode_Check(arg)) {
    return true;
  }
  return wrong_argument(arg, method, name, "str");
}

PyObject* schema_parse(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"source", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse", const_cast<char**>(keywords),
                                     &source) ||
        !require_str(source, "parse", "source")) {
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(source, &size);
    if (data == nullptr) {
      return nullptr;
    }
    return parse_text(std::string_view(data, static_cast<std::size_t>(size)), nullptr);
  });
}

// Raises the exception class that Python itself would choose for the error code, with one
// argument, so `errno` and `filename` stay None.
PyObject* raise_os_error(int code) {
  struct ErrnoClass {
    int code;
    PyObject* cls;
  };
  const ErrnoClass table[] = {
      {ENOENT, PyExc_FileNotFoundError},
      {EACCES, PyExc_PermissionError},
      {EPERM, PyExc_PermissionError},
      {EISDIR, PyExc_IsADirectoryError},
      {ENOTDIR, PyExc_NotADirectoryError},
      {EEXIST, PyExc_FileExistsError},
      {EAGAIN, PyExc_BlockingIOError},
      {ETIMEDOUT, PyExc_TimeoutError},
      {EINTR, PyExc_InterruptedError},
      {EPIPE, PyExc_BrokenPipeError},
      {ECONNREFUSED, PyExc_ConnectionRefusedError},
      {ECONNABORTED, PyExc_ConnectionAbortedError},
      {ECONNRESET, PyExc_ConnectionResetError},
  };
  PyObject* cls = PyExc_OSError;
  for (const ErrnoClass& e : table) {
    if (e.code == code) {
      cls = e.cls;
      break;
    }
  }
  // strerror's buffer is only at risk from another thread calling it at once; every caller
  // here holds the interpreter lock.
  std::string message = std::strerror(code);
  message += " (os error " + std::to_string(code) + ")";
  Owned text = engine_text(message);
  if (text) {
    PyErr_SetObject(cls, text.get());
  }
  return nullptr;
}

// The whole file at `path`. False with a Python error set on failure.
bool read_file(const char* path, std::string& out) {
  int fd = -1;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
  if (fd < 0) {
    if (!PyErr_Occurred()) {
      raise_os_error(errno);
    }
    return false;
  }
  bool ok = true;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      break;
    }
    // A signal that interrupts the read is retried, unless its Python handler raised.
    if (errno == EINTR && PyErr_CheckSignals() == 0) {
      continue;
    }
    if (!PyErr_Occurred()) {
      raise_os_error(errno);
    }
    ok = false;
    break;
  }
  ::close(fd);
  return ok;
}

PyObject* schema_load(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(keywords), &arg)) {
      return nullptr;
    }
    Owned fs_path = Owned::steal(PyOS_FSPath(arg));
    if (!fs_path && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      return nullptr;
    }
    if (!fs_path || !PyUnicode_Check(fs_path.get())) {
      // The protocol's own TypeError does not name the argument, and a bytes path is
      // refused because the error text must be able to quote it.
      PyErr_Clear();
      wrong_argument(arg, "load", "path", "str or os.PathLike returning str");
      return nullptr;
    }
    Owned encoded = Owned::steal(PyUnicode_EncodeFSDefault(fs_path.get()));
    if (!encoded) {
      return nullptr;
    }
    char* raw = nullptr;
    Py_ssize_t raw_size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &raw, &raw_size) < 0) {
      return nullptr;
    }
    const std::string_view os_path(raw, static_cast<std::size_t>(raw_size));
    // open() would silently stop at the NUL and read some other file.
    if (os_path.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
      return nullptr;
    }
    std::string content;
    if (!read_file(raw, content)) {
      return nullptr;
    }
    if (!is_valid_utf8(content)) {
      PyErr_SetString(PyExc_OSError, "stream did not contain valid UTF-8");
      return nullptr;
    }
    Owned prefix = engine_text(os_path);
    if (!prefix) {
      return nullptr;
    }
    return parse_text(content, prefix.get());
  });
}

std::vector<std::string_view> sorted_names(const Schema& schema) {
  std::vector<std::string_view> objects;
  std::vector<std::string_view> unions;
  for (const auto& entry : schema.objects) {
    objects.push_back(entry.first);
  }
  for (const auto& entry : schema.unions) {
    unions.push_back(entry.first);
  }
  // Both maps are already in byte order, and no name is in both.
  std::vector<std::string_view> names;
  names.reserve(objects.size() + unions.size());
  std::merge(objects.begin(), objects.end(), unions.begin(), unions.end(),
             std::back_inserter(names));
  return names;
}

PyObject* schema_type_names(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::vector<std::string_view> names = sorted_names(*schema_of(self));
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) {
      return nullptr;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      Owned name = engine_text(names[i]);
      if (!name || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name.release()) < 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

PyObject* schema_describe(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr,
                          [&]() -> PyObject* { return describe_schema(*schema_of(self)); });
}

// Resolves the optional `limits` argument shared by validator() and validate().
bool limits_argument(PyObject* arg, const char* method, Limits& out) {
  if (arg == nullptr || arg == Py_None) {
    out = default_limits;
    return true;
  }
  PyObject* cls = limits_class();
  if (cls == nullptr) {
    return false;
  }
  const int is_limits = PyObject_IsInstance(arg, cls);
  if (is_limits < 0) {
    return false;
  }
  if (is_limits == 0) {
    return wrong_argument(arg, method, "limits", "Limits or None");
  }
  out = limits_of(arg);
  return true;
}

PyObject* schema_validator(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"type_name", "limits", nullptr};
    PyObject* type_name = nullptr;
    PyObject* limits_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:validator", const_cast<char**>(keywords),
                                     &type_name, &limits_arg) ||
        !require_str(type_name, "validator", "type_name")) {
      return nullptr;
    }
    Limits limits;
    if (!limits_argument(limits_arg, "validator", limits)) {
      return nullptr;
    }
    PyObject* bound = bind_validator(schema_of(self), type_name, limits);
    if (bound != nullptr) {
      keep_validator_source(bound, reinterpret_cast<SchemaObject*>(self)->state.source);
    }
    return bound;
  });
}

PyObject* schema_validate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"type_name", "payload", "limits", nullptr};
    PyObject* type_name = nullptr;
    PyObject* payload = nullptr;
    PyObject* limits_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:validate", const_cast<char**>(keywords),
                                     &type_name, &payload, &limits_arg) ||
        !require_str(type_name, "validate", "type_name")) {
      return nullptr;
    }
    Limits limits;
    if (!limits_argument(limits_arg, "validate", limits)) {
      return nullptr;
    }
    Owned bound = Owned::steal(bind_validator(schema_of(self), type_name, limits));
    if (!bound) {
      return nullptr;
    }
    return run_validator(bound.get(), payload);
  });
}

PyObject* schema_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string out = "Schema(types=[";
    bool first = true;
    for (std::string_view name : sorted_names(*schema_of(self))) {
      if (!first) {
        out += ", ";
      }
      first = false;
      out += quoted(name);
    }
    out += "])";
    return engine_text(out).release();
  });
}

// Sends the source text: parsing it again rebuilds the engine schema exactly, and the text
// is smaller than any serialised form of the model.
PyObject* schema_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    Owned parse_fn = Owned::steal(PyObject_GetAttrString(schema_class(), "parse"));
    if (!parse_fn) {
      return nullptr;
    }
    Owned text = engine_text(*reinterpret_cast<SchemaObject*>(self)->state.source);
    if (!text) {
      return nullptr;
    }
    return Py_BuildValue("(O(O))", parse_fn.get(), text.get());
  });
}

PyMethodDef schema_methods[] = {
    {"parse", method_fn(schema_parse), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse(source)\n--\n\n"},
    {"load", method_fn(schema_load), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n"},
    {"type_names", method_fn(schema_type_names), METH_NOARGS, type_names_doc},
    {"describe", method_fn(schema_describe), METH_NOARGS, describe_doc},
    {"validator", method_fn(schema_validator), METH_VARARGS | METH_KEYWORDS, validator_doc},
    {"validate", method_fn(schema_validate), METH_VARARGS | METH_KEYWORDS, validate_doc},
    {"__reduce__", method_fn(schema_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot schema_slots[] = {
    {Py_tp_methods, schema_methods},
    {Py_tp_repr, slot_fn(schema_repr)},
    {Py_tp_dealloc, slot_fn(dealloc_instance<SchemaObject, &SchemaObject::state>)},
    {0, nullptr},
};

PyType_Spec schema_spec = {
    "vorn_schema.Schema",
    sizeof(SchemaObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    schema_slots,
};

PyObject* schema_cache = nullptr;

}  // namespace

PyObject* schema_class() {
  return cached_type(schema_cache, &schema_spec);
}

const std::shared_ptr<const Schema>& schema_of(PyObject* obj) {
  return reinterpret_cast<SchemaObject*>(obj)->state.schema;
}

PyObject* schema_object(const std::shared_ptr<const Schema>& schema,
                        const std::shared_ptr<const std::string>& source) {
  return wrap(SchemaState{schema, source});
}

}  // namespace vorn::py
