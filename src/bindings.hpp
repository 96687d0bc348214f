// Per-validator Python objects shared by the input adapter and the output builder, and the
// per-run state the adapter reports a hard failure through.
#pragma once

#include "python.hpp"

#include <algorithm>  // std::lower_bound
#include <cstdint>
#include <functional>  // std::less
#include <string_view>
#include <utility>  // std::pair
#include <vector>

#include "py_owned.hpp"
#include "schema.hpp"

namespace vorn::py {

/// Filled once when a validator is bound, read-only afterwards; owned by the validator.
struct Bindings {
  Owned date_type;
  Owned datetime_type;
  Owned date_fromisoformat;  // bound class methods, looked up once
  Owned datetime_fromisoformat;
  // One interned str per Schema::key_names entry, indexed by Field::key_id: the hot path
  // reaches a field's key by position instead of hashing its text.
  std::vector<Owned> keys;

  // One interned str per text of the schema that a result or a lookup uses as it stands:
  // union tag names (as keys), variant tag values and enum values (as values on the JSON
  // road). Sorted by the address of the text in the schema, which is stable, so a text's
  // str is found by that address, never by hashing. Made per lookup and per result instead,
  // the new str and its hashing made a list of 30 union objects (benchmark) cost 8.2 us on
  // the Python road instead of 5.4, 8.3 on the JSON road instead of 7.5.
  std::vector<std::pair<const char*, Owned>> texts;

  // Per object type (by ObjectType::id), a dict of its declared keys in order, each holding
  // None. A copy of it is a result sized and keyed at once: filling a new dict key by key
  // inserted each key and resized on the way. Made at the type's second wide result, so a
  // validator bound for one call (Schema.validate) does not pay for a shape it never
  // reuses (the order: 6% more a call when made at the first). The one thing written
  // after binding, under the GIL.
  struct Shape {
    Owned dict;
    bool wanted = false;  // a result of the type was built once
  };
  mutable std::vector<Shape> shapes;

  // Whether datetime.fromisoformat takes the text as it stands when it ends in Z and has a
  // fraction of any length (Python 3.11 on); before that every date-time text is rewritten.
  bool iso_takes_z = false;

  /// The interned key for a field, or nullptr for names without one (union tags).
  PyObject* key(std::uint32_t key_id) const {
    return key_id < keys.size() ? keys[key_id].get() : nullptr;
  }

  /// The interned key of a member name: a field's by its id, a union tag's by the address
  /// of its text in the schema; nullptr for any other name.
  PyObject* key(std::string_view name, std::uint32_t key_id) const {
    if (key_id < keys.size()) {
      return keys[key_id].get();
    }
    return text(name);
  }

  /// The str made at binding for a text of the schema, found by the text's address;
  /// nullptr for any other text.
  PyObject* text(std::string_view schema_text) const {
    auto it = std::lower_bound(
        texts.begin(), texts.end(), schema_text.data(),
        [](const auto& entry, const char* data) { return std::less<>()(entry.first, data); });
    return it != texts.end() && it->first == schema_text.data() ? it->second.get() : nullptr;
  }

  /// Whether fromisoformat needs the date-time text rewritten first.
  bool iso_needs_rewrite(std::string_view text) const {
    return !iso_takes_z || (!text.empty() && text.back() == 'z');
  }
};

/// State of one run shared by every adapter made during it. The adapter swallows Python
/// errors, except a dict mutated while its keys are walked, which fails the whole call: the
/// error is parked here (no exception may stay pending while the walk calls Python again)
/// and restored when the walk ends.
struct RunState {
  bool failed = false;
  PyObject* error_type = nullptr;
  PyObject* error_value = nullptr;
  PyObject* error_traceback = nullptr;

  /// Parks the pending Python error, keeping only the first one.
  void park_error() {
    if (failed) {
      PyErr_Clear();
      return;
    }
    failed = true;
    PyErr_Fetch(&error_type, &error_value, &error_traceback);
  }
  /// Sets the parked error as pending again; the caller then reports failure.
  void restore_error() {
    PyErr_Restore(error_type, error_value, error_traceback);
    error_type = error_value = error_traceback = nullptr;
  }
  RunState() = default;
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
  ~RunState() {
    Py_XDECREF(error_type);
    Py_XDECREF(error_value);
    Py_XDECREF(error_traceback);
  }
};

}  // namespace vorn::py
