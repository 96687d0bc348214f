// The Validator class and the validation run.
//
//   class Validator:
//       """One type of one schema, ready to validate."""
//       def __call__(self, payload): ...
//       def validate(self, payload): ...
//       type_name: str   # read-only
//       def __repr__(self): ...   # Validator(User)
//       def __reduce__(self): ... # Schema.validator(schema, type_name, limits)
#include "python.hpp"

#include <algorithm>   // std::sort
#include <functional>  // std::less
#include <memory>
#include <new>  // placement new
#include <string>

#include "bindings.hpp"
#include "classes.hpp"
#include "json.hpp"
#include "py_input.hpp"
#include "py_output.hpp"
#include "py_owned.hpp"
#include "validate.hpp"

namespace vorn::py {

namespace {

/// Everything a run needs that does not depend on the payload, resolved once at binding.
/// Built in place and never moved: `root` borrows the name from `type_name`.
struct Bound {
  Bound(std::string name, std::shared_ptr<const Schema> s, Bindings&& b, const Limits& l)
      : type_name(std::move(name)),
        schema(std::move(s)),
        bindings(std::move(b)),
        limits(l),
        root(resolve_root(*schema, type_name)) {}
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;

  std::string type_name;
  std::shared_ptr<const Schema> schema;
  Bindings bindings;
  Limits limits;
  Root root;
  std::shared_ptr<const std::string> source = nullptr;  // the schema's text, for pickling
};

struct ValidatorObject {
  PyObject ob_base;  // PyObject_HEAD, spelled out so that formatting keeps one member a line
  Bound bound;
};

const Bound& bound_of(PyObject* self) {
  return reinterpret_cast<ValidatorObject*>(self)->bound;
}

PyObject* run_python(const Bound& b, PyObject* payload) {
  RunState run;
  PyInput root(Owned::borrow(payload), b.bindings, run);
  Builder out(b.bindings);
  IssueList issues;
  Owned result = walk(*b.schema, b.root, root, b.limits, out, issues);
  if (run.failed) {
    run.restore_error();  // a dict mutated under its key walk fails the whole call
    return nullptr;
  }
  return out.finish(std::move(result), std::move(issues));
}

PyObject* raise_json_error(const json::JsonError& error) {
  IssueList issues = error.as_validation();
  if (!issues.empty()) {
    return raise_issues(std::move(issues));
  }
  PyObject* parse_error = parse_error_class();
  if (parse_error == nullptr) {
    return nullptr;
  }
  std::string text = error.text();
  Owned message =
      Owned::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) {
    PyErr_SetObject(parse_error, message.get());
  }
  return nullptr;
}

// `bytes` stays alive for the whole call: the document borrows it.
PyObject* run_json(const Bound& b, std::string_view bytes) {
  Result<json::Document, json::JsonError> parsed = json::Document::parse(bytes, b.limits);
  if (!parsed) {
    return raise_json_error(parsed.error());
  }
  Builder out(b.bindings);
  IssueList issues;
  Owned result = walk(*b.schema, b.root, parsed.value().root(), b.limits, out, issues);
  return out.finish(std::move(result), std::move(issues));
}

// Chooses the road by the payload's type: text (str, bytes, bytearray) is JSON, anything
// else is Python data.
PyObject* run(const Bound& b, PyObject* payload) {
  // Held for the call: the JSON road borrows its buffer, and Python code run by the Python
  // road may drop the caller's other references.
  Owned held = Owned::borrow(payload);
  if (PyBytes_Check(payload)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(payload, &data, &size) < 0) {
      return nullptr;
    }
    return run_json(b, std::string_view(data, static_cast<std::size_t>(size)));
  }
  if (PyByteArray_Check(payload)) {
    // A bytearray can change while we read it, so parse a private copy.
    std::string copy(PyByteArray_AsString(payload),
                     static_cast<std::size_t>(PyByteArray_Size(payload)));
    return run_json(b, copy);
  }
  if (PyUnicode_Check(payload)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(payload, &size);
    if (utf8 == nullptr) {
      return nullptr;  // UnicodeEncodeError for a lone surrogate, unchanged
    }
    return run_json(b, std::string_view(utf8, static_cast<std::size_t>(size)));
  }
  return run_python(b, payload);
}

// The one payload argument. A lone positional one is taken as it stands; any other shape
// goes through the interpreter's parser, which also words its errors (the parser was 1.6%
// of a 90-byte event's JSON run).
PyObject* payload_argument(PyObject* args, PyObject* kwargs, const char* format) {
  if (kwargs == nullptr && PyTuple_Size(args) == 1) {
    return PyTuple_GetItem(args, 0);
  }
  static const char* keywords[] = {"payload", nullptr};
  PyObject* payload = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &payload)) {
    return nullptr;
  }
  return payload;
}

PyObject* validator_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* payload = payload_argument(args, kwargs, "O:__call__");
    return payload == nullptr ? nullptr : run(bound_of(self), payload);
  });
}

PyObject* validator_validate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* payload = payload_argument(args, kwargs, "O:validate");
    return payload == nullptr ? nullptr : run(bound_of(self), payload);
  });
}

PyObject* validator_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string text = "Validator(" + bound_of(self).type_name + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* validator_type_name(PyObject* self, void*) noexcept {
  const std::string& name = bound_of(self).type_name;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// Rebuilt by binding again in the receiving process: the Schema object pickles as its text,
// and Limits as its four values.
PyObject* validator_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const Bound& b = bound_of(self);
    if (!b.source) {
      PyErr_SetString(PyExc_TypeError, "cannot pickle a validator bound by Schema.validate");
      return nullptr;
    }
    Owned bind = Owned::steal(PyObject_GetAttrString(schema_class(), "validator"));
    if (!bind) {
      return nullptr;
    }
    Owned schema = Owned::steal(schema_object(b.schema, b.source));
    if (!schema) {
      return nullptr;
    }
    Owned limits = Owned::steal(PyObject_CallFunction(
        limits_class(), "KKKK", static_cast<unsigned long long>(b.limits.max_depth),
        static_cast<unsigned long long>(b.limits.max_items),
        static_cast<unsigned long long>(b.limits.max_string_bytes),
        static_cast<unsigned long long>(b.limits.max_object_keys)));
    if (!limits) {
      return nullptr;
    }
    return Py_BuildValue("(O(Os#O))", bind.get(), schema.get(), b.type_name.data(),
                         static_cast<Py_ssize_t>(b.type_name.size()), limits.get());
  });
}

PyMethodDef validator_methods[] = {
    {"validate", method_fn(validator_validate), METH_VARARGS | METH_KEYWORDS,
     "validate($self, payload)\n--\n\n"},
    {"__reduce__", method_fn(validator_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef validator_getset[] = {
    {"type_name", validator_type_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot validator_slots[] = {
    {Py_tp_doc, const_cast<char*>("One type of one schema, ready to validate.")},
    {Py_tp_call, slot_fn(validator_call)},
    {Py_tp_repr, slot_fn(validator_repr)},
    {Py_tp_dealloc, slot_fn(dealloc_instance<ValidatorObject, &ValidatorObject::bound>)},
    {Py_tp_methods, validator_methods},
    {Py_tp_getset, validator_getset},
    {0, nullptr},
};

PyType_Spec validator_spec = {
    "vorn_schema.Validator",
    sizeof(ValidatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    validator_slots,
};

PyObject* validator_cache = nullptr;

bool add_text(Bindings& b, const std::string& text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) {
    return false;
  }
  PyUnicode_InternInPlace(&str);
  b.texts.emplace_back(text.data(), Owned::steal(str));
  return true;
}

bool add_enum_texts(Bindings& b, const Type& type) {
  const Type* t = &type;
  while ((t->tag == Type::Tag::Array || t->tag == Type::Tag::Map) && t->item) {
    t = t->item.get();
  }
  for (const std::string& value : t->values) {
    if (!add_text(b, value)) {
      return false;
    }
  }
  return true;
}

// The union tag names, variant tag values and enum values of the schema, as Bindings::texts.
bool add_texts(Bindings& b, const Schema& schema) {
  for (const auto& [name, object] : schema.objects) {
    for (const Field& field : object.fields) {
      if (!add_enum_texts(b, field.type)) {
        return false;
      }
    }
  }
  for (const auto& [name, u] : schema.unions) {
    if (!add_text(b, u.tag)) {
      return false;
    }
    for (const Variant& variant : u.variants) {
      if (!add_text(b, variant.tag)) {
        return false;
      }
    }
  }
  std::sort(b.texts.begin(), b.texts.end(),
            [](const auto& x, const auto& y) { return std::less<>()(x.first, y.first); });
  return true;
}

bool fill_bindings(Bindings& b, const Schema& schema) {
  Owned datetime = Owned::steal(PyImport_ImportModule("datetime"));
  if (!datetime) {
    return false;
  }
  b.date_type = Owned::steal(PyObject_GetAttrString(datetime.get(), "date"));
  if (!b.date_type) {
    return false;
  }
  b.datetime_type = Owned::steal(PyObject_GetAttrString(datetime.get(), "datetime"));
  if (!b.datetime_type) {
    return false;
  }
  b.date_fromisoformat = Owned::steal(PyObject_GetAttrString(b.date_type.get(), "fromisoformat"));
  if (!b.date_fromisoformat) {
    return false;
  }
  b.datetime_fromisoformat =
      Owned::steal(PyObject_GetAttrString(b.datetime_type.get(), "fromisoformat"));
  if (!b.datetime_fromisoformat) {
    return false;
  }
  b.shapes.resize(schema.objects.size());
  b.keys.reserve(schema.key_names.size());
  for (const std::string& name : schema.key_names) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (key == nullptr) {
      return false;
    }
    PyUnicode_InternInPlace(&key);
    b.keys.push_back(Owned::steal(key));
  }
  if (!add_texts(b, schema)) {
    return false;
  }
  // Feature test rather than a version test: what matters is what this fromisoformat takes.
  Owned probe = Owned::steal(PyUnicode_FromString("2000-01-01T00:00:00.1234567Z"));
  if (!probe) {
    return false;
  }
  Owned parsed = Owned::steal(
      PyObject_CallFunctionObjArgs(b.datetime_fromisoformat.get(), probe.get(), nullptr));
  b.iso_takes_z = static_cast<bool>(parsed);
  if (!parsed) {
    PyErr_Clear();  // a ValueError here only says that texts must be rewritten
  }
  return true;
}

}  // namespace

PyObject* validator_class() {
  return cached_type(validator_cache, &validator_spec);
}

PyObject* bind_validator(const std::shared_ptr<const Schema>& schema, PyObject* type_name,
                         const Limits& limits) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(type_name, &size);
  if (utf8 == nullptr) {
    return nullptr;
  }
  std::string name(utf8, static_cast<std::size_t>(size));
  if (!schema->declares(name)) {
    return raise_unknown_type(name);
  }
  Bindings bindings;
  if (!fill_bindings(bindings, *schema)) {
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(validator_class());
  if (type == nullptr) {
    return nullptr;
  }
  PyObject* self = alloc_instance(type);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<ValidatorObject*>(self)->bound)
      Bound(std::move(name), schema, std::move(bindings), limits);
  return self;
}

void keep_validator_source(PyObject* validator, std::shared_ptr<const std::string> source) {
  reinterpret_cast<ValidatorObject*>(validator)->bound.source = std::move(source);
}

PyObject* run_validator(PyObject* validator, PyObject* payload) {
  return run(bound_of(validator), payload);
}

}  // namespace vorn::py
