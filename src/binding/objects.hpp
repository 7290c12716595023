// What the methods of both extension modules (pairloom and pairloom_tools._native) share
// around an engine call: the access flag of an object, the signal check that lets a long
// operation stop, and the making and freeing of instances of heap types.
#pragma once

#include <atomic>
#include <cstddef>

#include "binding/pyref.hpp"
#include "binding/python.hpp"
#include "tokenizer/support/error.hpp"

namespace pairloom::binding {

/// Py_None, as a new reference.
inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

/// Lets long engine operations stop for a signal (Ctrl-C) that a handler turned into an error.
tokenizer::InterruptCheck signal_check();

/// An object's access flag. 0: free; n: n shared users; all ones: one exclusive user. Changed
/// only atomically.
using AccessFlag = std::atomic<std::size_t>;

enum class Access { shared, exclusive };

/// Holds shared or exclusive access to one object for its lifetime. Taking access never waits:
/// a conflicting holder (another thread, or a signal handler or conversion hook that calls the
/// object again) makes the constructor raise RuntimeError: "Already borrowed" for exclusive
/// access, "Already mutably borrowed" for shared access to an object held exclusively.
class AccessGuard {
 public:
  AccessGuard(AccessFlag& flag, Access access);
  ~AccessGuard();
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

 private:
  AccessFlag& flag_;
  Access access_;
};

/// A fresh instance of `type` from the type's allocator, its native part still to be made.
/// Throws PythonError when the allocation fails.
PyObject* alloc_instance(PyTypeObject* type);

/// The end of a heap type's deallocation, once the native part is gone: frees the memory and
/// drops the instance's reference to its type.
void free_instance(PyObject* self) noexcept;

}  // namespace pairloom::binding
