// Pieces every type of pairloom_tools._native uses.
#pragma once

#include <memory>
#include <string_view>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "tokenizer/support/error.hpp"

namespace pairloom::tools_native {

using binding::as_cfunction;
using binding::checked;
using binding::kFastCall;
using binding::PyRef;
using binding::PythonError;
namespace engine = tokenizer::basic;

inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

/// Lets long engine operations stop for a signal (Ctrl-C) that a handler turned into an error.
inline engine::InterruptCheck signal_check() {
  return engine::InterruptCheck{[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};
}

/// The int argument `name` as a size; failures name the argument.
inline std::size_t size_argument(const char* name, const PyRef& argument) {
  return binding::convert_argument(name, [&] { return binding::to_size(argument.get()); });
}

/// The str argument `name` as UTF-8; failures name the argument.
inline std::string_view text_argument(const char* name, const PyRef& argument) {
  return binding::convert_argument(name, [&] { return binding::to_text(argument.get()); });
}

/// Raises an engine failure as the pairloom module raises it.
inline void succeed_or_raise(const engine::Result<>& result) {
  if (!result.ok()) binding::raise_io_error(result.error());
}

/// Marks an object in use for one call. A signal handler runs Python code in the middle of a
/// call and could call the same object again; that call raises RuntimeError instead.
class BusyGuard {
 public:
  explicit BusyGuard(bool& busy) : busy_{busy} {
    if (busy_) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw PythonError{};
    }
    busy_ = true;
  }
  ~BusyGuard() { busy_ = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  bool& busy_;
};

/// An instance of a heap type whose native part is `State`, constructed in place after the
/// object header and destroyed by `dealloc_native`.
template <class State>
struct NativeObject {
  PyObject_HEAD State* state;
  bool busy;
};

/// The native part of `self`, which the method descriptors guarantee to be of the type.
template <class State>
State& native(PyObject* self) {
  auto* object = reinterpret_cast<NativeObject<State>*>(self);
  if (object->state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the object was not initialised");
    throw PythonError{};
  }
  return *object->state;
}

template <class State>
bool& busy_flag(PyObject* self) {
  return reinterpret_cast<NativeObject<State>*>(self)->busy;
}

/// Allocates an instance of `type` taking over `state`.
template <class State>
PyObject* new_native(PyTypeObject* type, std::unique_ptr<State> state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyRef object = checked(PyRef::steal(alloc(type, 0)));
  auto* raw = reinterpret_cast<NativeObject<State>*>(object.get());
  raw->busy = false;
  raw->state = state.release();
  return object.release();
}

/// Heap-type deallocation: the native state, then the memory, then the type's reference.
template <class State>
void dealloc_native(PyObject* self) noexcept {
  auto* object = reinterpret_cast<NativeObject<State>*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete object->state;
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(type);
}

/// What makes one of the module's types; `State` is its native part.
struct TypeParts {
  const char* name;  ///< "pairloom_tools._native.<name>", a literal: the type keeps it
  const char* doc;
  newfunc make;
  PyMethodDef* methods;
  PyGetSetDef* getset;
};

/// Adds the type to `module`, with instances of `basic_size` bytes freed by `dealloc`.
void add_type(PyObject* module, const TypeParts& parts, int basic_size, destructor dealloc);

template <class State>
void add_native_type(PyObject* module, const TypeParts& parts) {
  add_type(module, parts, static_cast<int>(sizeof(NativeObject<State>)), dealloc_native<State>);
}

}  // namespace pairloom::tools_native
