// Per-validator Python objects shared by the input adapter and the output builder, and the
// per-run state the adapter reports a hard failure through.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

#include "py_owned.hpp"
#include "schema.hpp"

namespace vorn::py {

/// Filled once when a validator is bound, read-only afterwards; owned by the validator.
struct Bindings {
  Owned date_type;
  Owned datetime_type;
  Owned date_fromisoformat;      // bound class methods, looked up once
  Owned datetime_fromisoformat;
  // One interned str per Schema::key_names entry, indexed by Field::key_id: the hot path
  // reaches a field's key by position instead of hashing its text.
  std::vector<Owned> keys;

  /// The interned key for a field, or nullptr for names without one (union tags).
  PyObject* key(std::uint32_t key_id) const {
    return key_id < keys.size() ? keys[key_id].get() : nullptr;
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
