// One owner for Python references, and the boundary that keeps C++ exceptions out of CPython.
#pragma once

#include "python.hpp"

#include <memory>     // std::destroy_at
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
  [[gnu::always_inline]] Owned& operator=(Owned&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  // Forced, with the move: GCC 12 outlined both from the walk, a call per checked value.
  [[gnu::always_inline]] ~Owned() { Py_XDECREF(p_); }

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

/// Allocates an instance of a heap type through its tp_alloc; the caller then constructs
/// its C++ member in place. A new reference, or nullptr with an error set.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

/// tp_dealloc for an object struct `T` whose C++ member is `Member`: destroys the member,
/// frees the memory, then releases the type (a heap type's instance owns a reference to it).
template <class T, auto Member>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&(reinterpret_cast<T*>(self)->*Member));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
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
