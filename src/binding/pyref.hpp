// PyRef: the owner of one strong reference to a Python object.
//
// Rules of use:
//  - `PyRef::steal(p)` takes over a new reference (the result of most C-API calls); a null `p`
//    makes an empty PyRef, so `if (!ref)` checks the call for failure.
//  - `PyRef::borrow(p)` adds a reference of its own to a borrowed pointer. Do this before any
//    user code can run: a borrowed reference may die under it.
//  - `release()` hands the reference to the caller (to return it to the interpreter, or to a
//    function that steals); `get()` lends it without transfer.
//  - Destruction drops the reference. It needs the interpreter lock, as every binding path has.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace pairloom::binding {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef{object}; }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef{object};
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_{std::exchange(other.object_, nullptr)} {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef dropped{std::exchange(object_, std::exchange(other.object_, nullptr))};
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_{object} {}
  PyObject* object_ = nullptr;
};

/// Thrown inside the binding once a Python exception has been set; the entry point returns NULL.
struct PythonError {};

/// Returns `ref` when it holds an object, throws PythonError when the call that made it failed.
inline PyRef checked(PyRef ref) {
  if (!ref) throw PythonError{};
  return ref;
}

/// Throws PythonError when a C-API call reported failure by a negative status.
inline void checked(int status) {
  if (status < 0) throw PythonError{};
}

}  // namespace pairloom::binding
