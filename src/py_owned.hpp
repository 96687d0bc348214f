// One owner for Python references, and the boundary that keeps C++ exceptions out of CPython.
#pragma once

#include "python.hpp"

#include <new>        // std::bad_alloc
#include <stdexcept>  // std::exception
#include <utility>

namespace vorn::py {

/// Holds one strong reference; move-only. A raw PyObject* elsewhere always means borrowed.
class Owned {
 public:
  Owned() = default;
  /// Adopts a new reference (may be null, for a failed call).
  static Owned steal(PyObject* p) { return Owned(p); }
  /// Takes a new reference to a borrowed object (may be null).
  static Owned borrow(PyObject* p) {
    Py_XINCREF(p);
    return Owned(p);
  }

  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }

  Owned clone() const { return borrow(p_); }
  PyObject* get() const { return p_; }
  /// Hands the reference over (to an API that steals it, or back to Python).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Owned(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

/// Runs `body` for a function that CPython calls, turning C++ exceptions into Python ones:
/// unwinding through CPython frames is undefined behaviour. `failed` is the value that
/// reports an error to CPython (nullptr or -1).
template <class R, class F>
R guard(R failed, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return failed;
}

/// Method and slot tables store untyped function pointers; this is the one place that casts.
template <class F>
void* slot_fn(F* f) {
  return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction method_fn(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// Creates a heap type from a spec once per process and keeps it for the process's life.
/// Fills under the interpreter lock: check, create, publish if still empty, drop the loser
/// (creating a class can release the lock, so a second thread may have won meanwhile).
inline PyObject* cached_type(PyObject*& cache, PyType_Spec* spec) {
  if (cache != nullptr) {
    return cache;
  }
  PyObject* made = PyType_FromSpec(spec);
  if (made == nullptr) {
    return nullptr;
  }
  if (cache == nullptr) {
    cache = made;
  } else {
    Py_DECREF(made);
  }
  return cache;
}

}  // namespace vorn::py
