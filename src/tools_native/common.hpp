// Pieces every type of pairloom_tools._native uses.
#pragma once

#include <memory>
#include <new>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/objects.hpp"
#include "binding/pyref.hpp"
#include "tokenizer/support/error.hpp"

namespace pairloom::tools_native {

using binding::as_cfunction;
using binding::checked;
using binding::kFastCall;
using binding::none;
using binding::PyRef;
using binding::PythonError;
using binding::signal_check;
using binding::size_argument;
using binding::succeed_or_raise;
using binding::text_argument;
namespace engine = tokenizer;

/// Holds an object for one call, exclusively. A signal handler runs Python code in the middle
/// of a call and could call the same object again; that call raises RuntimeError instead.
class BusyGuard : public binding::AccessGuard {
 public:
  explicit BusyGuard(binding::AccessFlag& flag) : AccessGuard{flag, binding::Access::exclusive} {}
};

/// An instance of a heap type whose native part is `State`, constructed in place after the
/// object header and destroyed by `dealloc_native`.
template <class State>
struct NativeObject {
  PyObject_HEAD State* state;
  binding::AccessFlag access;
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
binding::AccessFlag& busy_flag(PyObject* self) {
  return reinterpret_cast<NativeObject<State>*>(self)->access;
}

/// Allocates an instance of `type` taking over `state`.
template <class State>
PyObject* new_native(PyTypeObject* type, std::unique_ptr<State> state) {
  auto* object = reinterpret_cast<NativeObject<State>*>(binding::alloc_instance(type));
  new (&object->access) binding::AccessFlag(0);
  object->state = state.release();
  return reinterpret_cast<PyObject*>(object);
}

/// Heap-type deallocation: the native state, then the memory, then the type's reference.
template <class State>
void dealloc_native(PyObject* self) noexcept {
  auto* object = reinterpret_cast<NativeObject<State>*>(self);
  delete object->state;
  object->access.~atomic();
  binding::free_instance(self);
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
