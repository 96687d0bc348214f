// `Issues` and `Issue`: what a ValidationError carries, and one problem as Python reads it.
//
//   class Issues:                       # no constructor, not subclassable
//       def list(self) -> list[Issue]: ...      # new Issue objects on every call
//       def summary(self) -> str: ...           # first issue, and how many more
//       def first_path(self) -> str: ...        # "" when there is no issue
//       def first_code(self) -> str: ...
//       def first_message(self) -> str: ...
//       def __len__(self) -> int: ...
//
//   class Issue:                        # no constructor, not subclassable
//       path: str                       # read-only, rendered: items[0].id, <root>
//       code: str                       # read-only
//       message: str                    # read-only
//       def __repr__(self) -> str: ...  # Issue(path="...", code="...", message="...")
//       def __str__(self) -> str: ...   # {path}: {message} ({code})
#include "python.hpp"

#include <charconv>  // std::to_chars
#include <memory>    // std::destroy_at
#include <new>       // placement new
#include <string>
#include <string_view>
#include <utility>

#include "classes.hpp"
#include "error.hpp"
#include "py_owned.hpp"
#include "py_text.hpp"  // engine_text
#include "unicode.hpp"

namespace vorn::py {

namespace {

// Issues keep engine values until Python reads them: raising renders nothing, so rejecting a
// payload costs one allocation beyond the exception itself.
struct IssuesObject {
  PyObject ob_base;  // PyObject_HEAD, spelled out so that formatting keeps one member a line
  IssueList issues;
};

// One issue, already rendered. Kept as C++ text so repr and str never round-trip through
// Python strings; the attributes decode on each read.
struct IssueText {
  std::string path;
  std::string message;
  Code code;
};

struct IssueObject {
  PyObject ob_base;  // PyObject_HEAD, spelled out so that formatting keeps one member a line
  IssueText text;
};

PyObject* issue_cache = nullptr;
PyObject* issues_cache = nullptr;
PyObject* validation_error_cache = nullptr;

PyObject* to_str(std::string_view text) {
  return engine_text(text).release();
}

// The one-line form shared by str(issue) and summary(): "{path}: {message} ({code})".
std::string one_line(std::string_view path, std::string_view message, Code code) {
  const std::string_view name = code_name(code);
  std::string out;
  out.reserve(path.size() + message.size() + name.size() + 5);
  out.append(path).append(": ").append(message).append(" (").append(name).append(")");
  return out;
}

const IssueList& issues_of(PyObject* self) {
  return reinterpret_cast<IssuesObject*>(self)->issues;
}

const IssueText& text_of(PyObject* self) {
  return reinterpret_cast<IssueObject*>(self)->text;
}

// Issue ---------------------------------------------------------------------------------

// Takes the rendered text over; returns a new reference or nullptr with an error set.
PyObject* make_issue(IssueText&& text) {
  PyObject* type = issue_class();
  if (type == nullptr) {
    return nullptr;
  }
  PyObject* self = alloc_instance(reinterpret_cast<PyTypeObject*>(type));
  if (self == nullptr) {
    return nullptr;
  }
  // Moving strings cannot throw, so the object is never left half-built.
  new (&reinterpret_cast<IssueObject*>(self)->text) IssueText(std::move(text));
  return self;
}

PyObject* issue_path(PyObject* self, void*) noexcept {
  return to_str(text_of(self).path);
}

PyObject* issue_code(PyObject* self, void*) noexcept {
  return to_str(code_name(text_of(self).code));
}

PyObject* issue_message(PyObject* self, void*) noexcept {
  return to_str(text_of(self).message);
}

PyObject* issue_repr(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const IssueText& t = text_of(self);
    std::string out = "Issue(path=";
    out += quoted(t.path);
    out += ", code=";
    out += quoted(code_name(t.code));
    out += ", message=";
    out += quoted(t.message);
    out += ')';
    return to_str(out);
  });
}

PyObject* issue_str(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const IssueText& t = text_of(self);
    return to_str(one_line(t.path, t.message, t.code));
  });
}

PyGetSetDef issue_getset[] = {
    {"path", issue_path, nullptr, nullptr, nullptr},
    {"code", issue_code, nullptr, nullptr, nullptr},
    {"message", issue_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot issue_slots[] = {
    {Py_tp_dealloc, slot_fn(dealloc_instance<IssueObject, &IssueObject::text>)},
    {Py_tp_repr, slot_fn(issue_repr)},
    {Py_tp_str, slot_fn(issue_str)},
    {Py_tp_getset, issue_getset},
    {0, nullptr},
};

PyType_Spec issue_spec = {
    "vorn_schema.Issue",
    sizeof(IssueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    issue_slots,
};

// Issues --------------------------------------------------------------------------------

constexpr const char* issues_doc =
    "What a `ValidationError` carries, with nothing built until it is read.\n\nThe exception "
    "itself is declared in Python and overrides no `__init__`, so\nraising costs one "
    "allocation here and the interpreter's own C-level\nbookkeeping. The path strings, the "
    "`Issue` objects and the summary are all\nproduced on first access. Rejecting a request "
    "is a hot path in any service\nfacing a network, and it should not cost more than "
    "accepting one.";

// Takes the list over; returns a new reference or nullptr with an error set (the issues are
// then dropped with the caller's list).
PyObject* make_issues(IssueList&& issues) {
  PyObject* type = issues_class();
  if (type == nullptr) {
    return nullptr;
  }
  PyObject* self = alloc_instance(reinterpret_cast<PyTypeObject*>(type));
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<IssuesObject*>(self)->issues) IssueList(std::move(issues));
  return self;
}

Py_ssize_t issues_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(issues_of(self).size());
}

PyObject* issues_list(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const IssueList& issues = issues_of(self);
    Owned out = Owned::steal(PyList_New(static_cast<Py_ssize_t>(issues.size())));
    if (!out) {
      return nullptr;
    }
    Py_ssize_t i = 0;
    for (const Issue& issue : issues) {
      PyObject* item = make_issue(IssueText{issue.path.render(), issue.message, issue.code});
      if (item == nullptr) {
        return nullptr;
      }
      // Steals the reference, even when it fails.
      if (PyList_SetItem(out.get(), i++, item) < 0) {
        return nullptr;
      }
    }
    return out.release();
  });
}

PyObject* issues_summary(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const IssueList& issues = issues_of(self);
    if (issues.empty()) {
      return to_str("validation failed");
    }
    const Issue& first = issues.front();
    std::string out = one_line(first.path.render(), first.message, first.code);
    if (issues.size() > 1) {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, issues.size() - 1);
      out.append(", and ").append(buf, res.ptr).append(" more");
    }
    return to_str(out);
  });
}

PyObject* issues_first_path(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const IssueList& issues = issues_of(self);
    return to_str(issues.empty() ? std::string() : issues.front().path.render());
  });
}

PyObject* issues_first_code(PyObject* self, PyObject*) noexcept {
  const IssueList& issues = issues_of(self);
  return to_str(issues.empty() ? std::string_view() : code_name(issues.front().code));
}

PyObject* issues_first_message(PyObject* self, PyObject*) noexcept {
  const IssueList& issues = issues_of(self);
  return to_str(issues.empty() ? std::string_view() : std::string_view(issues.front().message));
}

PyMethodDef issues_methods[] = {
    {"list", method_fn(issues_list), METH_NOARGS, "list($self)\n--\n\n"},
    {"summary", method_fn(issues_summary), METH_NOARGS, "summary($self)\n--\n\n"},
    {"first_path", method_fn(issues_first_path), METH_NOARGS, "first_path($self)\n--\n\n"},
    {"first_code", method_fn(issues_first_code), METH_NOARGS, "first_code($self)\n--\n\n"},
    {"first_message", method_fn(issues_first_message), METH_NOARGS, "first_message($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot issues_slots[] = {
    {Py_tp_doc, const_cast<char*>(issues_doc)},
    {Py_tp_dealloc, slot_fn(dealloc_instance<IssuesObject, &IssuesObject::issues>)},
    {Py_tp_methods, issues_methods},
    {Py_sq_length, slot_fn(issues_len)},
    {0, nullptr},
};

PyType_Spec issues_spec = {
    "vorn_schema.Issues",
    sizeof(IssuesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    issues_slots,
};

// The class is declared in Python by the package, which imports this module while it is
// itself being imported; so it is looked up at the first failure, not at module exec.
// Cached only on success, so a failed lookup is retried next time.
PyObject* validation_error_class() {
  if (validation_error_cache != nullptr) {
    return validation_error_cache;
  }
  Owned package = Owned::steal(PyImport_ImportModule("vorn_schema"));
  if (!package) {
    return nullptr;
  }
  Owned cls = Owned::steal(PyObject_GetAttrString(package.get(), "ValidationError"));
  if (!cls) {
    return nullptr;
  }
  if (!PyType_Check(cls.get())) {
    PyErr_SetString(PyExc_TypeError, "vorn_schema.ValidationError must be a class");
    return nullptr;
  }
  // The import can release the interpreter lock, so another thread may have published first.
  if (validation_error_cache == nullptr) {
    validation_error_cache = cls.release();
  }
  return validation_error_cache;
}

}  // namespace

PyObject* issue_class() {
  return cached_type(issue_cache, &issue_spec);
}

PyObject* issues_class() {
  return cached_type(issues_cache, &issues_spec);
}

PyObject* raise_issues(IssueList&& issues) {
  Owned carrier = Owned::steal(make_issues(std::move(issues)));
  if (!carrier) {
    return nullptr;
  }
  PyObject* cls = validation_error_class();
  if (cls == nullptr) {
    return nullptr;
  }
  // PyErr_SetObject reports a non-exception class as a SystemError; the interpreter's own
  // `raise` says TypeError, and so do we.
  if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                        reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  // A value that is neither a tuple nor an instance is passed as the one positional
  // argument, so args == (issues,).
  PyErr_SetObject(cls, carrier.get());
  return nullptr;
}

PyObject* raise_unknown_type(std::string_view type_name) {
  IssueList issues;
  std::string message = "schema declares no type named `";
  message.append(type_name).append("`");
  issues.push_back(Issue{Path{}, Code::unknown_type, std::move(message)});
  return raise_issues(std::move(issues));
}

}  // namespace vorn::py
