#include "python.hpp"

#include "py_input.hpp"

#include "unicode.hpp"  // replace_surrogates

namespace vorn::py {

std::string lossy_utf8(PyObject* str, int per_surrogate) {
  Owned bytes = Owned::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) < 0) {
    PyErr_Clear();
    return std::string();
  }
  return replace_surrogates(std::string_view(data, static_cast<std::size_t>(n)), per_surrogate);
}

void PyInput::classify() {
  PyObject* o = object_.get();
  PyTypeObject* type = Py_TYPE(o);
  if (o == Py_None) {
    kind_ = Kind::Null;
    return;
  }
  if (type == &PyBool_Type) {
    kind_ = Kind::Bool;
    return;
  }
  // Exact built-in types first: they answer like the flag tests below, without the call.
  if (type == &PyUnicode_Type) {
    kind_ = Kind::Str;
    return;
  }
  if (type == &PyDict_Type) {
    kind_ = Kind::Object;
    return;
  }
  if (type == &PyList_Type) {
    kind_ = Kind::Array;
    return;
  }
  if (type == &PyFloat_Type) {
    kind_ = Kind::Float;
    return;
  }
  // An exact int skips the flags call too (benchmark Python accept 5.72 -> 5.63 us).
  const unsigned long flags =
      type == &PyLong_Type ? Py_TPFLAGS_LONG_SUBCLASS : PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    classify_int();
    return;
  }
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    kind_ = Kind::Str;
    return;
  }
  if (PyType_IsSubtype(type, &PyFloat_Type)) {
    kind_ = Kind::Float;
    return;
  }
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    kind_ = Kind::Object;
    return;
  }
  if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
    kind_ = Kind::Array;
    return;
  }
  classify_date();
}

void PyInput::classify_int() {
  PyObject* o = object_.get();
  int overflow = 0;
  long long s = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow == 0 && !(s == -1 && PyErr_Occurred())) {
    int_ = IntValue::from_signed(s);
    kind_ = Kind::Integer;
    return;
  }
  PyErr_Clear();
  if (overflow > 0) {
    unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      int_ = IntValue::from_unsigned(u);
      kind_ = Kind::Integer;
      return;
    }
    PyErr_Clear();
  }
  kind_ = Kind::WideInteger;
}

void PyInput::classify_date() {
  // A datetime is also a date, so it is asked first.
  for (const DateClass date_class : {DateClass::DateTime, DateClass::Date}) {
    PyObject* cls = date_class == DateClass::DateTime ? bindings_->datetime_type.get()
                                                      : bindings_->date_type.get();
    const int is = PyObject_IsInstance(object_.get(), cls);
    if (is < 0) {
      PyErr_Clear();  // a raising __class__ or __instancecheck__ counts as "no"
    } else if (is == 1) {
      kind_ = Kind::Str;
      date_class_ = date_class;
      return;
    }
  }
  kind_ = Kind::Unsupported;
}

std::optional<Text> PyInput::isoformat() const {
  Owned text = Owned::steal(PyObject_CallMethod(object_.get(), "isoformat", nullptr));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyUnicode_Check(text.get())) {
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  // Owned copy: the str returned by isoformat dies here.
  return Text(std::string(utf8, static_cast<std::size_t>(size)));
}

std::string PyInput::key_text(PyObject* key) const {
  Owned text = Owned::steal(PyObject_Str(key));
  if (!text) {
    PyErr_Clear();
    return "<key>";
  }
  return lossy_utf8(text.get(), 3);
}

void PyInput::fail_walk(const char* message) const {
  PyErr_SetString(PyExc_RuntimeError, message);
  run_->park_error();
}

}  // namespace vorn::py
