// The module's classes, each created once per process by its own file and cached for the
// life of the process (never in a static Owned, whose destructor would outlive the
// interpreter). Each getter returns a borrowed reference, or nullptr with an error set.
#pragma once

#include "python.hpp"

#include <memory>
#include <string>

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

/// A new Python `Schema` object sharing an engine schema and the text it was parsed from.
/// New reference or nullptr with an error set.
PyObject* schema_object(const std::shared_ptr<const Schema>& schema,
                        const std::shared_ptr<const std::string>& source);

/// Binds a validator for `type_name` (Schema.validator); raises ValidationError when the
/// schema does not declare the name. Returns a new reference or nullptr with an error set.
PyObject* bind_validator(const std::shared_ptr<const Schema>& schema, PyObject* type_name,
                         const Limits& limits);

/// Gives a validator just bound by bind_validator the schema's source text, for pickling.
void keep_validator_source(PyObject* validator, std::shared_ptr<const std::string> source);

/// Runs a bound validator on a payload (Validator.__call__). New reference or nullptr.
PyObject* run_validator(PyObject* validator, PyObject* payload);

/// Raises ValidationError carrying the issues (handed over). Always returns nullptr.
PyObject* raise_issues(IssueList&& issues);

/// Raises ValidationError with one unknown_type issue at the root for `type_name`.
PyObject* raise_unknown_type(std::string_view type_name);

}  // namespace vorn::py
