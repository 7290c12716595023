#include "binding/objects.hpp"

#include <limits>

namespace pairloom::binding {
namespace {

constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

bool signal_pending(void*) {
  return PyErr_CheckSignals() != 0;
}

[[noreturn]] void fail_access(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  throw PythonError{};
}

}  // namespace

tokenizer::InterruptCheck signal_check() {
  return tokenizer::InterruptCheck{&signal_pending, nullptr};
}

AccessGuard::AccessGuard(AccessFlag& flag, Access access) : flag_{flag}, access_{access} {
  if (access == Access::exclusive) {
    std::size_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
      fail_access("Already borrowed");
    }
    return;
  }
  std::size_t current = flag_.load(std::memory_order_relaxed);
  do {
    if (current >= kExclusive - 1) fail_access("Already mutably borrowed");
  } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
}

AccessGuard::~AccessGuard() {
  if (access_ == Access::exclusive) {
    flag_.store(0, std::memory_order_release);
  } else {
    flag_.fetch_sub(1, std::memory_order_release);
  }
}

PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* object = alloc(type, 0);
  if (object == nullptr) throw PythonError{};
  return object;
}

void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(type);
}

}  // namespace pairloom::binding
