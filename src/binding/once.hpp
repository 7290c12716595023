// OnceCell: a process-wide Python object created at most once, on first need.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "binding/python.hpp"

namespace pairloom::binding {

/// Holds one object for the rest of the process. The first caller creates it; a caller from
/// another thread that arrives during the creation waits, with the interpreter lock released so
/// that the creating thread can go on, and then uses the result. A failed creation stores
/// nothing, so a later call tries again.
class OnceCell {
 public:
  /// A borrowed reference to the object, made by `make` (a new reference, or null with a Python
  /// exception set) when there is none yet. Null with the exception set on failure.
  template <class Make>
  PyObject* get(Make&& make) {
    for (;;) {
      if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
      {
        std::lock_guard lock{mutex_};
        if (!busy_) {
          busy_ = true;
          creator_ = std::this_thread::get_id();
          break;
        }
        if (creator_ == std::this_thread::get_id()) {
          PyErr_SetString(PyExc_RuntimeError, "recursive creation of a process-wide object");
          return nullptr;
        }
      }
      PyThreadState* saved = PyEval_SaveThread();
      {
        std::unique_lock lock{mutex_};
        ready_.wait(lock, [this] { return !busy_; });
      }
      PyEval_RestoreThread(saved);
    }
    PyObject* made = nullptr;
    try {
      made = make();
    } catch (...) {
      finish(nullptr);
      throw;
    }
    finish(made);
    return made;
  }

  /// The object if it has been created, else null. Never creates it.
  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  void finish(PyObject* made) {
    {
      std::lock_guard lock{mutex_};
      busy_ = false;
      if (made != nullptr) value_.store(made, std::memory_order_release);
    }
    ready_.notify_all();
  }

  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
  std::condition_variable ready_;
  bool busy_ = false;
  std::thread::id creator_;
};

}  // namespace pairloom::binding
