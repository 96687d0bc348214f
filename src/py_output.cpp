// The output builder: the walk's policy for making the result (see py_output.hpp).
#include "python.hpp"

#include "py_output.hpp"

#include "classes.hpp"
#include "unicode.hpp"  // is_utf8_continuation, utf8_length

namespace vorn::py {

std::string python_iso(std::string_view text) {
  std::string_view body = text;
  std::string_view suffix;
  if (!text.empty()) {
    const char last = text.back();
    if (last == 'Z' || last == 'z') {
      body = text.substr(0, text.size() - 1);
      suffix = "+00:00";
    } else if (text.size() >= 20 && !is_utf8_continuation(text[19])) {
      const std::size_t sign = text.find_first_of("+-", 19);
      if (sign != std::string_view::npos) {
        body = text.substr(0, sign);
        suffix = text.substr(sign);
      }
    }
  }
  std::string out;
  const std::size_t dot = body.find('.');
  if (dot == std::string_view::npos) {
    out.reserve(body.size() + suffix.size());
    out.append(body);
  } else {
    out.append(body.substr(0, dot + 1));
    // Keep at most six characters of the fraction, then pad with zeros to six.
    std::size_t kept = 0;
    std::size_t i = dot + 1;
    while (i < body.size() && kept < 6) {
      const std::size_t len = utf8_length(body[i]);
      out.append(body.substr(i, len));
      i += len;
      ++kept;
    }
    out.append(6 - kept, '0');
  }
  out.append(suffix);
  return out;
}

void Builder::fail() {
  failed_ = true;
  // Only the first failure is kept; a later one cannot happen while the walk has stopped
  // building, but must not leave an exception pending if it does.
  error_.park_error();
}

namespace {
constexpr const char* sequence_changed = "a sequence changed while it was validated";
}  // namespace

void Builder::unreadable(const PyInput& array, std::uint64_t i) {
  // The adapter swallowed the element's error, as reading must; a list the result needs
  // cannot leave the element out, so the build fails with the error a second read gives.
  Owned element = PyInput::sequence_item(array.object(), i);
  if (element) {
    PyErr_SetString(PyExc_RuntimeError, sequence_changed);
  }
  fail();
}

void Builder::fail_uncounted(const PyInput& array) {
  // As for an unreadable element: the adapter read a raising len() as 0, and an empty list
  // in the result would drop the caller's elements unchecked, so the build fails with the
  // error a second len() gives.
  if (PyObject_Size(array.object()) >= 0) {
    PyErr_SetString(PyExc_RuntimeError, sequence_changed);
  }
  fail();
}

bool Builder::set_new_key(Value& dict, std::string_view name, const Value& v) {
  Owned key = made(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  return key && checked(PyDict_SetItem(dict.get(), key.get(), v.get()));
}

Owned Builder::text_of(const std::string& schema_text) {
  if (PyObject* made_once = bindings_.text(schema_text)) {
    return Owned::borrow(made_once);
  }
  return made(
      PyUnicode_FromStringAndSize(schema_text.data(), static_cast<Py_ssize_t>(schema_text.size())));
}

Owned Builder::from_iso(std::string_view text, bool is_datetime, PyObject* own) {
  Owned arg;
  if (is_datetime && bindings_.iso_needs_rewrite(text)) {
    const std::string iso = python_iso(text);
    arg = made(PyUnicode_FromStringAndSize(iso.data(), static_cast<Py_ssize_t>(iso.size())));
  } else if (own != nullptr) {
    arg = Owned::borrow(own);
  } else {
    arg = made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  if (!arg) {
    return {};
  }
  PyObject* convert =
      is_datetime ? bindings_.datetime_fromisoformat.get() : bindings_.date_fromisoformat.get();
  PyObject* result = PyObject_CallFunctionObjArgs(convert, arg.get(), nullptr);
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
    // Valid text that Python's date types cannot hold (a year 0, a leap second) must not
    // surface as a crash of a payload just declared valid: it becomes an issue at this value.
    PyErr_Clear();
    std::string message = "`";
    message.append(text);
    message.append(is_datetime ? "` cannot be represented as a Python datetime"
                               : "` cannot be represented as a Python date");
    unrepresentable_ = Issue{Path{}, is_datetime ? Code::invalid_datetime : Code::invalid_date,
                             std::move(message)};
    failed_ = true;
    return {};
  }
  return made(result);
}

PyObject* Builder::finish(Owned result, IssueList&& issues) {
  if (!issues.empty()) {
    return raise_issues(std::move(issues));  // a parked build failure is dropped with error_
  }
  if (failed_) {
    if (unrepresentable_) {
      IssueList one;
      one.push_back(std::move(*unrepresentable_));
      return raise_issues(std::move(one));
    }
    error_.restore_error();
    return nullptr;
  }
  if (!result) {
    // The walk builds whenever it records no issue and no build fails.
    PyErr_SetString(PyExc_SystemError, "validation built no result");
    return nullptr;
  }
  return result.release();
}

}  // namespace vorn::py
