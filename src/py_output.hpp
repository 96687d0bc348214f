// Builds the result of a successful run: a new dict holding exactly the declared fields
// (and a union's tag), dates converted. Python road in py_output.cpp, JSON road in
// json_output.cpp; both share the date conversion and its failure report.
//
// Dates that Python cannot hold are reported through `unrepresentable`: whenever a child
// conversion returns null while it is set, the caller adds its own step with unwind()
// before returning null, so the issue's path is built only on that failure.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "error.hpp"
#include "json.hpp"
#include "py_owned.hpp"
#include "schema.hpp"

namespace vorn::py {

/// A date-time text rewritten for datetime.fromisoformat: a trailing Z becomes +00:00 and a
/// fraction of a second becomes exactly six digits.
std::string python_iso(std::string_view text);

/// Keeps the builder within the interpreter's recursion budget: validation bounded the
/// payload it saw, but a sequence may answer differently the second time it is read. On
/// the JSON road it is only a backstop; dropping it there saved about 1% (8.04 against
/// 7.91 us), too little to give up the check.
class RecursionGuard {
 public:
  RecursionGuard() : entered_(Py_EnterRecursiveCall(" while building a validation result") == 0) {}
  ~RecursionGuard() {
    if (entered_) {
      Py_LeaveRecursiveCall();
    }
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
};

class Out {
 public:
  Out(const Schema& schema, const Bindings& bindings, RunState& run)
      : schema_(schema), bindings_(bindings), run_(run) {}

  // Python road: values that need no conversion pass through as the same objects.
  // `tag`: the union's tag name, borrowed from the schema, or null.
  Owned object_tagged(const ObjectType& object, PyObject* payload, const std::string* tag);
  Owned value(const Type& type, PyObject* v);

  // JSON road: every value is created anew from the document.
  Owned object_from_json(const ObjectType& object, json::Ref r, const std::string* tag);
  Owned emit_json(const Type& type, json::Ref r);
  Owned plain_json(json::Ref r);

  /// date.fromisoformat(text), or datetime.fromisoformat(python_iso(text)). A ValueError (a
  /// year 0 or a leap second, which the text forms allow and Python cannot hold) is
  /// recorded in `unrepresentable` instead of raised.
  Owned date_from_text(bool is_datetime, std::string_view text);

  /// Adds one step, innermost first, to the path of a pending unrepresentable date.
  void unwind(Segment&& step) {
    if (unrepresentable) {
      unrepresentable->path.segments.push_back(std::move(step));
    }
  }

  /// The dict key for a member: the field's or union tag's interned key, borrowed from the
  /// Bindings with no reference taken, or a new str for a name without one.
  class Key {
   public:
    Key(const Bindings& bindings, std::string_view name, std::uint32_t key_id)
        : key_(bindings.key(name, key_id)) {
      if (key_ == nullptr) {
        made_ = Owned::steal(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        key_ = made_.get();
      }
    }
    /// Null, with an error set, when a new str could not be made.
    PyObject* get() const { return key_; }

   private:
    PyObject* key_;
    Owned made_;
  };

  /// Turns a failed build into the call's error: ValidationError for an unrepresentable
  /// date, otherwise the pending Python error. Returns the result or nullptr.
  PyObject* finish(Owned result);

  const Schema& schema() const { return schema_; }
  const Bindings& bindings() const { return bindings_; }

  std::optional<Issue> unrepresentable;

 private:
  Owned array_value(const Type& type, PyObject* v);
  Owned copy_in_order(const ObjectType& object, PyObject* payload, const std::string* tag);
  // A new list of `convert` applied to each element of an array node, in order.
  template <class Convert>
  Owned list_from_json(json::Ref r, Convert&& convert);

  const Schema& schema_;
  const Bindings& bindings_;
  RunState& run_;
};

}  // namespace vorn::py
