// The module's classes, each created once per process by its own file and cached for the
// life of the process (never in a static Owned, whose destructor would outlive the
// interpreter). Each getter returns a borrowed reference, or nullptr with an error set.
#pragma once

#include "python.hpp"

#include <memory>

#include "error.hpp"
#include "input.hpp"
#include "schema.hpp"

namespace vorn::py {

PyObject* schema_class();
PyObject* validator_class();
PyObject* issue_class();
PyObject* limits_class();
PyObject* issues_class();
/// The `_vorn.ParseError` exception class.
PyObject* parse_error_class();

/// The four values of a `Limits` object; `obj` must be an instance of limits_class().
Limits limits_of(PyObject* obj);

/// The engine schema held by a Python `Schema` object, which must be an instance of it.
const std::shared_ptr<const Schema>& schema_of(PyObject* obj);

/// Binds a validator for `type_name` (Schema.validator); raises ValidationError when the
/// schema does not declare the name. Returns a new reference or nullptr with an error set.
PyObject* bind_validator(const std::shared_ptr<const Schema>& schema, PyObject* type_name,
                         const Limits& limits);

/// Runs a bound validator on a payload (Validator.__call__). New reference or nullptr.
PyObject* run_validator(PyObject* validator, PyObject* payload);

/// Raises ValidationError carrying the issues (handed over). Always returns nullptr.
PyObject* raise_issues(IssueList&& issues);

/// Raises ValidationError with one unknown_type issue at the root for `type_name`.
PyObject* raise_unknown_type(std::string_view type_name);

}  // namespace vorn::py
