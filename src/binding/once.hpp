// OnceCell: a process-wide Python object created at most once, on first need.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/python.hpp"

namespace pairloom::binding {

/// Holds one object for the rest of the process. The first caller creates it; a caller from
/// another thread that arrives during the creation waits, with the interpreter lock released so
/// that the creating thread can go on, and then uses the result. A failed creation stores
/// nothing, so a later call tries again.
///
/// The cell's state is only touched with the interpreter lock held, which is the one lock a
/// fork leaves in a usable state: in a child forked while another thread was creating the
/// object, that thread is gone, and the first caller takes the creation over instead of
/// waiting for it.
class OnceCell {
 public:
  /// A borrowed reference to the object, made by `make` (a new reference, or null with a Python
  /// exception set) when there is none yet. Null with the exception set on failure.
  template <class Make>
  PyObject* get(Make&& make) {
    for (;;) {
      if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
      if (!busy_ || creator_process_ != getpid()) break;
      if (creator_ == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_RuntimeError, "recursive creation of a process-wide object");
        return nullptr;
      }
      // Creations are rare and short: look again a little later.
      PyThreadState* saved = PyEval_SaveThread();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      PyEval_RestoreThread(saved);
    }
    busy_ = true;
    creator_ = std::this_thread::get_id();
    creator_process_ = getpid();
    PyObject* made = nullptr;
    try {
      made = make();
    } catch (...) {
      busy_ = false;
      throw;
    }
    busy_ = false;
    if (made != nullptr) value_.store(made, std::memory_order_release);
    return made;
  }

  /// The object if it has been created, else null. Never creates it.
  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  // Guarded by the interpreter lock.
  bool busy_ = false;
  std::thread::id creator_;
  pid_t creator_process_ = 0;
};

}  // namespace pairloom::binding
